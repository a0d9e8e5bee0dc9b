// Drives the desktop program from outside, as a user and an inspector would: finds its windows
// by title, reads their controls, clicks buttons and answers the message dialog. One command a
// run; the test script strings them together.
//
//   ui-driver wait TITLE [SECONDS]            a top-level window with this title appears
//   ui-driver gone TITLE [SECONDS]            ... and has gone
//   ui-driver exists TITLE                    exit status 0 when it exists now
//   ui-driver dump TITLE                      every control: id, class, visible, enabled,
//   rectangle, text ui-driver click TITLE ID                  clicks the control with this id
//   ui-driver list TITLE                      the lines of the results list
//   ui-driver wait-status TITLE TEXT [SECONDS] the status line shows this text
//   ui-driver dialog CAPTION [SECONDS]        waits for the message dialog; prints its text (line
//                                             breaks as \n) and buttons
//   ui-driver answer CAPTION ID [SECONDS]     waits for the message dialog and clicks a button
//   ui-driver rect TITLE                      the window's rectangle on the screen
//   ui-driver key TITLE KEY [question]        presses a key (escape, return) in the window, or in
//                                             the question under that title, where its focus is
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kResultsList = 1055;
constexpr int kStatusLine = 1065;
constexpr int kMessageText = 1086;

constexpr int kScanButton = 1052;
constexpr int kSystemBoxText = 0xFFFF;

struct WindowSearch {
  const char* title;
  bool question;
  HWND found;
};

// The main window and its questions share a title: the main window is the one with the Scan
// button; a question is a visible dialog without it.
BOOL CALLBACK MatchWindow(HWND window, LPARAM searchValue) {
  auto* search = reinterpret_cast<WindowSearch*>(searchValue);
  char windowClass[16] = {};
  char text[512] = {};
  ::GetClassNameA(window, windowClass, sizeof windowClass);
  ::GetWindowTextA(window, text, sizeof text);
  if (std::strcmp(text, search->title) != 0) return TRUE;
  const bool isMain = ::GetDlgItem(window, kScanButton) != nullptr;
  if (search->question) {
    if (std::strcmp(windowClass, "#32770") != 0 || isMain || !::IsWindowVisible(window))
      return TRUE;
  } else if (!isMain) {
    return TRUE;
  }
  search->found = window;
  return FALSE;
}

HWND Find(const char* title, bool question) {
  WindowSearch search{title, question, nullptr};
  ::EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND FindTop(const char* title) { return Find(title, false); }
HWND FindQuestionWindow(const char* title) { return Find(title, true); }

HWND WaitFor(const char* title, double seconds, bool question = false) {
  for (int i = 0; i < static_cast<int>(seconds * 20); ++i) {
    if (HWND window = question ? FindQuestionWindow(title) : FindTop(title)) return window;
    ::Sleep(50);
  }
  return question ? FindQuestionWindow(title) : FindTop(title);
}

// Text of another process's control. Wine answers a cross-process LB_GETTEXT in the ANSI form
// with UTF-16, so lists and windows are read through the wide calls.
std::string WideToAnsi(const std::wstring& wide) {
  if (wide.empty()) return std::string();
  const int length =
      ::WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<size_t>(length > 0 ? length : 1), '\0');
  ::WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, &text[0], length, nullptr, nullptr);
  text.resize(text.size() - 1);
  return text;
}

std::string WindowText(HWND window) {
  wchar_t buffer[1024] = {};
  ::SendMessageTimeoutW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(buffer),
                        SMTO_ABORTIFHUNG, 2000, nullptr);
  return WideToAnsi(buffer);
}

std::vector<std::string> ListLines(HWND list) {
  std::vector<std::string> lines;
  const LRESULT count = ::SendMessageW(list, LB_GETCOUNT, 0, 0);
  for (LRESULT i = 0; i < count; ++i) {
    const LRESULT length = ::SendMessageW(list, LB_GETTEXTLEN, static_cast<WPARAM>(i), 0);
    std::wstring text(static_cast<size_t>(length > 0 ? length : 0) + 1, L'\0');
    ::SendMessageW(list, LB_GETTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&text[0]));
    text.resize(wcslen(text.c_str()));
    lines.push_back(WideToAnsi(text));
  }
  return lines;
}

BOOL CALLBACK DumpChild(HWND child, LPARAM parentValue) {
  HWND parent = reinterpret_cast<HWND>(parentValue);
  char windowClass[64] = {};
  ::GetClassNameA(child, windowClass, sizeof windowClass);
  RECT r;
  ::GetWindowRect(child, &r);
  ::MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
  std::printf("%d %s visible=%d enabled=%d rect=%ld,%ld,%ld,%ld text=%s\n", ::GetDlgCtrlID(child),
              windowClass, ::IsWindowVisible(child) ? 1 : 0, ::IsWindowEnabled(child) ? 1 : 0,
              static_cast<long>(r.left), static_cast<long>(r.top), static_cast<long>(r.right),
              static_cast<long>(r.bottom), WindowText(child).c_str());
  return TRUE;
}

int Fail(const char* what, const char* title) {
  std::fprintf(stderr, "ui-driver: %s: %s\n", what, title);
  return 1;
}

double Seconds(int argc, char** argv, int index, double fallback) {
  return argc > index ? std::atof(argv[index]) : fallback;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: ui-driver COMMAND TITLE [ARGS]\n");
    return 2;
  }
  const std::string command = argv[1];
  const char* title = argv[2];

  if (command == "wait")
    return WaitFor(title, Seconds(argc, argv, 3, 20)) ? 0 : Fail("no window", title);
  if (command == "exists") return FindTop(title) ? 0 : 1;
  if (command == "gone") {
    for (int i = 0; i < static_cast<int>(Seconds(argc, argv, 3, 20) * 20); ++i) {
      if (!FindTop(title)) return 0;
      ::Sleep(50);
    }
    return Fail("still there", title);
  }
  if (command == "dialog" || command == "answer") {
    const double seconds = Seconds(argc, argv, command == "answer" ? 4 : 3, 20);
    HWND dialog = WaitFor(title, seconds, true);
    if (!dialog) return Fail("no message dialog", title);
    ::Sleep(300);  // let it finish laying itself out
    HWND text = ::GetDlgItem(dialog, kMessageText);
    if (text == nullptr) text = ::GetDlgItem(dialog, kSystemBoxText);  // the system's message box
    std::string shown = WindowText(text);
    for (size_t at = shown.find('\n'); at != std::string::npos; at = shown.find('\n', at + 2))
      shown.replace(at, 1, "\\n");
    std::printf("text=%s\n", shown.c_str());
    for (int id : {1, 2, 3, 6, 7}) {
      HWND button = ::GetDlgItem(dialog, id);
      if (button && ::IsWindowVisible(button))
        std::printf("button=%d %s\n", id, WindowText(button).c_str());
    }
    RECT r;
    ::GetWindowRect(dialog, &r);
    std::printf("rect=%ld,%ld,%ld,%ld\n", static_cast<long>(r.left), static_cast<long>(r.top),
                static_cast<long>(r.right), static_cast<long>(r.bottom));
    std::fflush(stdout);
    if (command == "answer") {
      const int id = std::atoi(argv[3]);
      ::PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                     reinterpret_cast<LPARAM>(::GetDlgItem(dialog, id)));
    }
    return 0;
  }

  if (command == "key" && argc >= 4) {
    const bool question = argc >= 5 && std::strcmp(argv[4], "question") == 0;
    HWND window = WaitFor(title, 10, question);
    if (!window) return Fail("no window", title);
    const std::string name = argv[3];
    const WPARAM key = name == "escape" ? VK_ESCAPE : name == "return" ? VK_RETURN : 0;
    if (key == 0) return Fail("unknown key", argv[3]);
    // A key goes to the window that has the keyboard focus in the target's thread.
    GUITHREADINFO info = {};
    info.cbSize = sizeof info;
    HWND target = window;
    if (::GetGUIThreadInfo(::GetWindowThreadProcessId(window, nullptr), &info) && info.hwndFocus) {
      target = info.hwndFocus;
    }
    ::PostMessageA(target, WM_KEYDOWN, key, 1);
    ::PostMessageA(target, WM_KEYUP, key, static_cast<LPARAM>(0xC0000001u));
    return 0;
  }

  HWND window = WaitFor(title, 5);
  if (!window) return Fail("no window", title);
  if (command == "dump") {
    ::EnumChildWindows(window, DumpChild, reinterpret_cast<LPARAM>(window));
    return 0;
  }
  if (command == "rect") {
    RECT r;
    ::GetWindowRect(window, &r);
    std::printf("%ld,%ld,%ld,%ld\n", static_cast<long>(r.left), static_cast<long>(r.top),
                static_cast<long>(r.right), static_cast<long>(r.bottom));
    return 0;
  }
  if (command == "click" && argc >= 4) {
    HWND button = ::GetDlgItem(window, std::atoi(argv[3]));
    if (!button) return Fail("no such control", argv[3]);
    ::PostMessageA(button, BM_CLICK, 0, 0);
    return 0;
  }
  if (command == "list") {
    for (const std::string& line : ListLines(::GetDlgItem(window, kResultsList)))
      std::printf("%s\n", line.c_str());
    return 0;
  }
  if (command == "wait-status" && argc >= 4) {
    const double seconds = Seconds(argc, argv, 4, 60);
    for (int i = 0; i < static_cast<int>(seconds * 10); ++i) {
      if (WindowText(::GetDlgItem(window, kStatusLine)) == argv[3]) return 0;
      ::Sleep(100);
    }
    return Fail("status never showed", argv[3]);
  }
  std::fprintf(stderr, "ui-driver: unknown command %s\n", command.c_str());
  return 2;
}
