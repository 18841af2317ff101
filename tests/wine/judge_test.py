#!/usr/bin/python3
"""The Wine runner's rules for telling Wine's failures from the tool's, on made-up relay traces:
what the tool's thread is, when an answer of Wine's is Wine's failure, and when a run that did
not end is the tool's hang. A wrong rule here would either retry a fault of the tool or fail
the tool for Wine's, so each rule is held against both sides."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import fleet_check  # noqa: E402
import run_scenario as rs  # noqa: E402


def trace(*lines):
    return '\n'.join(lines) + '\n'


# The start of a run of the tool: its thread asks for the Windows directory first.
TOOL_START = ('0024:Call KERNEL32.GetWindowsDirectoryA(0032f000,00000104) ret=00401000',
              '0024:Ret  KERNEL32.GetWindowsDirectoryA() retval=0000000a ret=00401000')


def drives(answer):
    return ('0024:Call KERNEL32.GetLogicalDriveStringsA(00000104,0032fa10) ret=00401100',
            '0024:Ret  KERNEL32.GetLogicalDriveStringsA() retval=%08x ret=00401100' % answer)


def drive_type(root, answer):
    return ('0024:Call KERNEL32.GetDriveTypeA(0032fa10 "%s") ret=00401234' % root.replace('\\', '\\\\'),
            '0024:Ret  KERNEL32.GetDriveTypeA() retval=%08x ret=00401234' % answer)


class FakeWine:
    """Wine.answers() as the probe found it."""
    def __init__(self, answers):
        self._answers = answers

    def answers(self):
        return self._answers


class RelayTrace(unittest.TestCase):
    def test_only_the_tools_thread_counts_and_unreturned_calls_are_named(self):
        calls, unreturned = rs.relay_trace(trace(
            # Another program of the script (its own thread) before the tool starts.
            '0030:Call KERNEL32.GetDriveTypeA(0011f000 "C:\\\\") ret=7b000000',
            '0030:Ret  KERNEL32.GetDriveTypeA() retval=00000003 ret=7b000000',
            *TOOL_START,
            *drives(8),
            '0024:Call KERNEL32.GetDriveTypeA(0032fa10 "C:\\\\") ret=00401234',
            'trace:something unrelated',
            '0031:Call KERNEL32.GetDriveTypeA(0011f000 "D:\\\\") ret=7b000000'))
        self.assertEqual([c[1] for c in calls], ['GetWindowsDirectoryA', 'GetLogicalDriveStringsA'])
        self.assertEqual(calls[1][3], 8)
        self.assertEqual(unreturned, ['GetDriveTypeA'])

    def test_a_string_argument_is_read_back(self):
        calls, _ = rs.relay_trace(trace(*TOOL_START, *drive_type('S:\\', 4)))
        self.assertEqual(rs.relay_string(calls[-1][2][0]), 'S:\\')


class WinesAnswers(unittest.TestCase):
    def test_an_empty_drive_list_is_wines_failure(self):
        for name, lines, wines in (('no drive at all', drives(0), True),
                                   ('two drives', drives(8), False),
                                   ('the tool never asked', (), False)):
            with self.subTest(name):
                calls, _ = rs.relay_trace(trace(*TOOL_START, *lines))
                try:
                    rs.check_drive_answer(calls, 'run')
                    blamed = False
                except rs.WineFault as e:
                    blamed = True
                    self.assertEqual(e.args[0], 'run')
                self.assertEqual(blamed, wines)

    def test_the_answer_for_the_network_drive_is_found(self):
        # (what the trace holds, what Wine answered for S:): the fleet check checks the scan's
        # passing over S: only where Wine gave it S: as a network drive (or never asked).
        for name, lines, answer in (('S: as a fixed drive', drive_type('C:\\', 3) + drive_type('S:\\', 3), 3),
                                    ('S: as the network drive it is', drive_type('S:\\', 4), 4),
                                    ('only C:', drive_type('C:\\', 3), None)):
            with self.subTest(name):
                calls, _ = rs.relay_trace(trace(*TOOL_START, *drives(8), *lines))
                self.assertEqual(fleet_check.network_answer(calls), answer)


class Hangs(unittest.TestCase):
    CASES = [
        # (calls that had not returned, does a new program still see C:, Wine's failure?)
        ('inside the drive list', ['GetLogicalDriveStringsA'], True, True),
        ('inside a drive type', ['GetDriveTypeA'], True, True),
        ('inside the key wait', ['_getch'], True, False),
        ('inside no traced call', [], True, False),
        ('inside no traced call, the server gone', [], False, True),
    ]

    def test_each_hang(self):
        for name, unreturned, answers, wines in self.CASES:
            with self.subTest(name):
                try:
                    rs.judge_hang(FakeWine(answers), unreturned, 'run', 120)
                    blamed = False
                except rs.WineFault:
                    blamed = True
                self.assertEqual(blamed, wines)


if __name__ == '__main__':
    unittest.main()
