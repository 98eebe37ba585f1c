// Key polling on a Windows console: input records written into the
// console's input buffer are what con_inkey and con_raw_key see. Runs inside
// a pseudo-terminal (wine then gives the program a console whose input
// buffer takes written records); skipped where there is no such buffer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "console/con.h"
#include "platform/win32/win32_util.h"

namespace {

INPUT_RECORD Key(bool down, WORD vk, wchar_t ch) {
  INPUT_RECORD r{};
  r.EventType = KEY_EVENT;
  r.Event.KeyEvent.bKeyDown = down ? TRUE : FALSE;
  r.Event.KeyEvent.wRepeatCount = 1;
  r.Event.KeyEvent.wVirtualKeyCode = vk;
  r.Event.KeyEvent.uChar.UnicodeChar = ch;
  return r;
}

INPUT_RECORD Mouse() {
  INPUT_RECORD r{};
  r.EventType = MOUSE_EVENT;
  r.Event.MouseEvent.dwMousePosition = {3, 4};
  r.Event.MouseEvent.dwButtonState = FROM_LEFT_1ST_BUTTON_PRESSED;
  return r;
}

INPUT_RECORD Focus() {
  INPUT_RECORD r{};
  r.EventType = FOCUS_EVENT;
  r.Event.FocusEvent.bSetFocus = TRUE;
  return r;
}

// The console's input buffer, emptied, or null when records cannot be written to it.
HANDLE InputBuffer() {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  DWORD mode = 0;
  if (!GetConsoleMode(in, &mode)) return nullptr;
  INPUT_RECORD probe = Key(false, 'A', L'a');
  DWORD written = 0;
  if (!WriteConsoleInputW(in, &probe, 1, &written) || written != 1) return nullptr;
  FlushConsoleInputBuffer(in);
  return in;
}

bool Write(HANDLE in, const std::vector<INPUT_RECORD>& records) {
  DWORD written = 0;
  return WriteConsoleInputW(in, records.data(), static_cast<DWORD>(records.size()), &written) &&
         written == records.size();
}

// One poll: "code:text".
std::string Poll() {
  std::u16string key = con_inkey();
  std::string out = std::to_string(con_raw_key()) + ":";
  for (char16_t u : key) out += std::to_string(static_cast<unsigned>(u)) + ";";
  return out;
}

}  // namespace

TEST(ConsoleEvents, KeyDownRecordsOnly) {
  con_open(nullptr);
  HANDLE in = InputBuffer();
  if (!in) GTEST_SKIP() << "no console input buffer that takes written records";
  EXPECT_EQ(Poll(), "0:");  // nothing waiting
  ASSERT_TRUE(Write(in, {Key(false, 'Q', L'q'), Mouse(), Focus(), Key(true, VK_SHIFT, 0), Key(false, VK_SHIFT, 0),
                         Key(true, 'Y', L'y'), Key(true, 'Y', L'Y'), Key(true, VK_RETURN, L'\r'),
                         Key(true, VK_ESCAPE, 0x1B), Key(true, VK_UP, 0), Key(false, 'Z', L'z')}));
  std::vector<std::string> polls;
  for (int i = 0; i < 8; ++i) polls.push_back(Poll());
  EXPECT_EQ(polls, (std::vector<std::string>{"16:", "89:121;", "89:89;", "13:13;", "27:27;", "38:", "0:", "0:"}));
}

TEST(ConsoleEvents, OnlyReleasesGiveNoKey) {
  con_open(nullptr);
  HANDLE in = InputBuffer();
  if (!in) GTEST_SKIP() << "no console input buffer that takes written records";
  ASSERT_TRUE(Write(in, {Key(false, VK_SHIFT, 0), Mouse(), Key(false, 'Y', L'y')}));
  EXPECT_EQ(Poll(), "0:");
  DWORD left = 99;
  ASSERT_TRUE(GetNumberOfConsoleInputEvents(in, &left));
  EXPECT_EQ(left, 0u);  // every record was taken and thrown away
}
