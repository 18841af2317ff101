// Everything that passes between the tool and the real-time protection driver (and its
// service), in one place. The driver is not part of the tool; every exchange fails harmlessly
// on a computer without it.
#ifndef VORLAX_PROTECTION_DRIVER_INTERFACE_H
#define VORLAX_PROTECTION_DRIVER_INTERFACE_H

// Service state: only starting, running and continuing mean the driver will carry out the
// rename list at the next restart.
#define VG_SERVICE_NAME "Teskaro Vigilo"

// Rename list: TKVG.REN in the maker's common directory (REG_SZ "Common" under HKLM).
#define VG_COMMON_PATHS_KEY "Software\\Morvane\\Common\\Paths"
#define VG_COMMON_VALUE "Common"
#define VG_RENAME_LIST_NAME "TKVG.REN"

// Device name on Windows 9x: "VG95" selects \\.\VG95, anything else \\.\KVX.
#define VG_DEVICE_NAME_REGPATH "HKEY_LOCAL_MACHINE\\Software\\Morvane\\Teskaro\\Vigilo\\\\DeviceName"
#define VG_DEVICE_NAME_VG95 "VG95"

// Devices.
#define VG_DEVICE_NT "\\\\.\\TKVigiloDev"
#define VG_DEVICE_VG95 "\\\\.\\VG95"
#define VG_DEVICE_KVX "\\\\.\\KVX"
#define VG_DEVICE_9X_SETTINGS "\\\\.\\tkvg95"

// Control codes (device type 7, METHOD_BUFFERED, read and write access on the NT-style devices).
#define VG_IOCTL_SET_STATE 0x7E800u         // in: "0" or "1" and NUL
#define VG_IOCTL_GET_STATE 0x7F010u         // out: 16-bit state
#define VG_IOCTL_SET_STATE_54X 0x7C454u     // in: 32-bit 0 or 1
#define VG_IOCTL_QUERY 0x7FDDCu             // out: 32-bit value
#define VG_IOCTL_9X_SETTING 0x7C450u        // in: the setting request
#define VG_IOCTL_9X_SET_STATE 0x200u        // in: "0" or "1" and NUL
#define VG_IOCTL_9X_QUERY 0x777u            // out: 32-bit value

// Windows 9x setting request: identifier, NUL, 32-bit value, in a zeroed 256-byte buffer;
// the stated input length covers the identifier and its NUL only.
#define VG_SETTING_ID "1.3.6.1.4.1.7264.12.1.111.2.10"
#define VG_SETTING_REQUEST_SIZE 256
#define VG_SETTING_REQUEST_LENGTH (sizeof(VG_SETTING_ID))  // 31: the identifier and its NUL
#define VG_SETTING_VALUE_OFFSET (sizeof(VG_SETTING_ID))    // the 32-bit value follows the NUL

// NT handshake: the state read back is a 16-bit word, preset so that a driver that writes
// nothing answers neither 0 nor 1.
#define VG_HANDSHAKE_REPLY_PRESET 0xABCDu

#endif
