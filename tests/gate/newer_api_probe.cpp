// A one-line program that imports GetFileSizeEx, which the KERNEL32 of Windows 98 SE does not
// export: the loadability gate must reject this image and name the function.
#include <windows.h>

int main() { LARGE_INTEGER size; return GetFileSizeEx(GetStdHandle(STD_OUTPUT_HANDLE), &size) ? 0 : 1; }
