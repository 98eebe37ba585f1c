// Test tool for the Windows programs under wine: types keys into the
// console's input buffer (a key-down and a key-up record per character;
// '\n' is Enter), so that a program started after it in the same console
// finds them waiting, as keys pressed before its prompt appeared.
#include <windows.h>

#include <cwctype>
#include <vector>

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  std::vector<INPUT_RECORD> records;
  for (const wchar_t* p = argv[1]; *p; ++p) {
    wchar_t c = *p == L'n' && p > argv[1] && p[-1] == L'\\' ? L'\r' : *p;
    if (*p == L'\\') continue;
    WORD vk = c == L'\r' ? VK_RETURN : static_cast<WORD>(std::towupper(c));
    for (BOOL down : {TRUE, FALSE}) {
      INPUT_RECORD r{};
      r.EventType = KEY_EVENT;
      r.Event.KeyEvent.bKeyDown = down;
      r.Event.KeyEvent.wRepeatCount = 1;
      r.Event.KeyEvent.wVirtualKeyCode = vk;
      r.Event.KeyEvent.uChar.UnicodeChar = c;
      records.push_back(r);
    }
  }
  DWORD written = 0;
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  if (!WriteConsoleInputW(in, records.data(), static_cast<DWORD>(records.size()), &written)) return 1;
  return written == records.size() ? 0 : 1;
}
