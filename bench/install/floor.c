/* The floor of an install under Wine: a minimal Windows program that only
 * creates the book's files with their final contents. The files lie after
 * the program, stored as they are (no decompression, no decryption, no CRC,
 * no dialog), in records of
 *
 *   u32 name length (0 ends the list), name (UTF-8, '/' between folders),
 *   u32 size, the bytes
 *
 * followed by a trailer: u32 offset of the first record, then "FLR1". It
 * takes the setups' arguments (/S, /D=folder, which comes last) and exits
 * 0 when every file is written, 1 otherwise. Built by bench/install/run.py.
 */
#include <windows.h>

#define CHUNK (1u << 20)

static HANDLE self;
static unsigned char *buffer;

static int read_exact(void *to, DWORD count) {
  DWORD got = 0;
  return ReadFile(self, to, count, &got, NULL) && got == count;
}

static int read_u32(DWORD *value) { return read_exact(value, 4); }

/* Makes every folder on the way to `path` (a wide path with '\\'). */
static void make_folders(wchar_t *path) {
  for (wchar_t *p = path + 3; *p; ++p) {
    if (*p != L'\\') continue;
    *p = 0;
    CreateDirectoryW(path, NULL);
    *p = L'\\';
  }
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR arguments, int show) {
  (void)instance;
  (void)previous;
  (void)show;
  const wchar_t *folder = NULL;
  for (const wchar_t *p = arguments; *p; ++p) {
    if (p[0] == L'/' && (p[1] == L'D' || p[1] == L'd') && p[2] == L'=') {
      folder = p + 3;
      break;
    }
  }
  if (folder == NULL) return 2;

  wchar_t own[MAX_PATH];
  if (!GetModuleFileNameW(NULL, own, MAX_PATH)) return 1;
  self = CreateFileW(own, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                     FILE_FLAG_SEQUENTIAL_SCAN, NULL);
  if (self == INVALID_HANDLE_VALUE) return 1;
  DWORD trailer[2];
  if (SetFilePointer(self, -8, NULL, FILE_END) == INVALID_SET_FILE_POINTER ||
      !read_exact(trailer, 8) || trailer[1] != 0x31524C46u /* "FLR1" */ ||
      SetFilePointer(self, (LONG)trailer[0], NULL, FILE_BEGIN) == INVALID_SET_FILE_POINTER)
    return 1;
  buffer = VirtualAlloc(NULL, CHUNK, MEM_COMMIT, PAGE_READWRITE);
  if (buffer == NULL) return 1;

  wchar_t path[2048];
  int base = lstrlenW(folder);
  if (base > 1000) return 1;
  lstrcpyW(path, folder);
  if (path[base - 1] != L'\\') path[base++] = L'\\';
  CreateDirectoryW(path, NULL);
  for (;;) {
    DWORD nameLength, size;
    char name[1024];
    if (!read_u32(&nameLength)) return 1;
    if (nameLength == 0) break;
    if (nameLength >= sizeof name || !read_exact(name, nameLength) || !read_u32(&size)) return 1;
    int wide = MultiByteToWideChar(CP_UTF8, 0, name, (int)nameLength, path + base, 1000);
    if (wide <= 0) return 1;
    path[base + wide] = 0;
    for (wchar_t *p = path + base; *p; ++p)
      if (*p == L'/') *p = L'\\';
    make_folders(path);
    HANDLE out = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (out == INVALID_HANDLE_VALUE) return 1;
    while (size > 0) {
      DWORD piece = size < CHUNK ? size : CHUNK, wrote = 0;
      if (!read_exact(buffer, piece) || !WriteFile(out, buffer, piece, &wrote, NULL) ||
          wrote != piece)
        return 1;
      size -= piece;
    }
    if (!CloseHandle(out)) return 1;
  }
  return 0;
}
