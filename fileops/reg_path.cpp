// Registry values named by one string: ROOT\key\path\\value name|data
//
// The string is parsed in a heap copy that is cut in place; the caller gets copies of the
// value name and the data, and a key handle that is its own to close unless it is one of the
// predefined root keys, which are never flushed or closed.
#include "fileops/reg_path.h"

const RootKeyEntry RootKeyTable[] = {
    {"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
    {"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {"HKEY_USERS", HKEY_USERS},
    {NULL, NULL},
};

HKEY FindRootKey(const char* name) {
  if (name == NULL) return NULL;
  for (const RootKeyEntry* entry = RootKeyTable; entry->name != NULL; ++entry) {
    if (_stricmp(entry->name, name) == 0) return entry->key;
  }
  return NULL;
}

// Cuts trailing blanks (0x20 only) from text in place.
static void CutTrailingSpaces(char* text) {
  size_t length = strlen(text);
  while (length > 0 && text[length - 1] == ' ') text[--length] = '\0';
}

// Parses the working copy in place. On success rootName, keyPath, valueName and data (NULL
// without a vertical bar) point into it.
static unsigned ParseRegPath(char* work, char** rootName, char** keyPath, char** valueName, char** data) {
  char* rootEnd = strchr(work, '\\');
  if (rootEnd == NULL) return kRegSyntax;
  *rootEnd = '\0';
  *rootName = work;
  *keyPath = rootEnd + 1;

  char* pair;
  if (rootEnd[1] == '\\') {
    // The root name is followed at once by the two backslashes: the root key itself.
    pair = rootEnd;
    *keyPath = rootEnd;  // the empty string left by the cut
  } else {
    char* current = rootEnd + 1;
    for (;;) {
      if (*current == '\0') return kRegSyntax;
      char* backslash = strchr(current, '\\');
      if (backslash == NULL) return kRegSyntax;
      if (backslash[1] == '\\') {
        pair = backslash;
        break;
      }
      current = backslash + 1;
    }
  }
  *pair = '\0';
  *valueName = pair + 2;

  *data = NULL;
  char* bar = strchr(*valueName, '|');
  if (bar != NULL) {
    *bar = '\0';
    *data = bar + 1;
    CutTrailingSpaces(*data);
  } else {
    CutTrailingSpaces(*valueName);
  }
  return kRegOk;
}

unsigned OpenRegPath(HKEY* key, char** valueName, char** data, int* isRoot, const char* path, int mode) {
  *key = NULL;
  *isRoot = 0;
  if (path == NULL) return kRegSyntax;

  char* work = _strdup(path);
  if (work == NULL) return kRegOutOfMemory;
  *valueName = NULL;
  if (data != NULL) *data = NULL;

  char* rootName = NULL;
  char* keyPath = NULL;
  char* name = NULL;
  char* dataPart = NULL;
  unsigned result = ParseRegPath(work, &rootName, &keyPath, &name, &dataPart);
  HKEY root = NULL;
  if (result == kRegOk) {
    root = FindRootKey(rootName);
    if (root == NULL) result = kRegSyntax;
  }

  HKEY opened = NULL;
  int openedRoot = 0;
  if (result == kRegOk) {
    if (keyPath[0] == '\0') {
      opened = root;
      openedRoot = 1;
    } else {
      LONG status;
      if (mode == 1) {
        DWORD disposition = 0;
        status = RegCreateKeyExA(root, keyPath, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, NULL, &opened,
                                 &disposition);
      } else {
        status = RegOpenKeyExA(root, keyPath, 0, KEY_READ, &opened);
      }
      if (status != ERROR_SUCCESS) result = kRegKeyFailed;
    }
  }

  if (result == kRegOk) {
    char* nameCopy = _strdup(name);
    char* dataCopy = NULL;
    if (nameCopy != NULL && data != NULL && dataPart != NULL) {
      dataCopy = _strdup(dataPart);
      if (dataCopy == NULL) {
        free(nameCopy);
        nameCopy = NULL;
      }
    }
    if (nameCopy == NULL) {
      if (!openedRoot) RegCloseKey(opened);
      result = kRegOutOfMemory;
    } else {
      *key = opened;
      *isRoot = openedRoot;
      *valueName = nameCopy;
      if (data != NULL) *data = dataCopy;
    }
  }

  free(work);
  return result;
}

unsigned SetRegValue(const char* path, int flush, DWORD type) {
  DWORD valueType = type != 0 ? type : REG_SZ;
  HKEY key = NULL;
  char* valueName = NULL;
  char* data = NULL;
  int isRoot = 0;
  unsigned result = OpenRegPath(&key, &valueName, &data, &isRoot, path, 1);
  if (result != kRegOk) return result;

  if (data == NULL) {
    // No data part: nothing to write, but the key has been created all the same.
    result = kRegSyntax;
  } else {
    LONG status;
    if (data[0] == '\0') {
      status = RegDeleteValueA(key, valueName);
    } else if (valueType == REG_DWORD) {
      DWORD number = (DWORD)atol(data);
      status = RegSetValueExA(key, valueName, 0, REG_DWORD, (const BYTE*)&number, sizeof(number));
    } else {
      status = RegSetValueExA(key, valueName, 0, valueType, (const BYTE*)data, (DWORD)(strlen(data) + 1));
    }
    result = status == ERROR_SUCCESS ? kRegOk : kRegValueFailed;
    free(data);
  }

  if (!isRoot) {
    if (flush) RegFlushKey(key);
    RegCloseKey(key);
  }
  free(valueName);
  return result;
}

unsigned ReadRegValue(void* buffer, DWORD size, const char* path) {
  HKEY key = NULL;
  char* valueName = NULL;
  int isRoot = 0;
  unsigned result = OpenRegPath(&key, &valueName, NULL, &isRoot, path, 0);
  if (result != kRegOk) return result;

  DWORD capacity = size;
  LONG status = RegQueryValueExA(key, valueName, NULL, NULL, (LPBYTE)buffer, &capacity);
  if (status == ERROR_MORE_DATA) {
    result = kRegBufferTooSmall;
  } else if (status != ERROR_SUCCESS) {
    result = kRegValueFailed;
  }

  if (!isRoot) RegCloseKey(key);
  free(valueName);
  return result;
}
