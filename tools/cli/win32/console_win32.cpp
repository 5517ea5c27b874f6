// Console and Ctrl-C on Windows. The standard streams are switched to
// binary mode, so that a message's own CR LF is written as it is and "\n"
// stays one byte. A console is switched to the UTF-8 code page for the run
// (and back at exit), and its streams are buffered: the runtime writes an
// unbuffered stream a byte at a time, and a console shows each part of a
// split UTF-8 character ("！", "：") as a replacement character. Every
// message is flushed whole.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>

#include "cli_platform.h"

namespace quorvane::cli {

namespace {

constexpr std::size_t kConsoleBuffer = 64 * 1024;  // more than any one message

UINT gEarlierCodePage = 0;
std::atomic<bool>* gFlag = nullptr;

bool consoleMode(DWORD stream, DWORD* mode) {
  const HANDLE handle = ::GetStdHandle(stream);
  return handle != nullptr && handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, mode);
}

void restoreCodePage() {
  std::fflush(stdout);  // what is still buffered goes out in UTF-8
  std::fflush(stderr);
  if (gEarlierCodePage != 0) ::SetConsoleOutputCP(gEarlierCodePage);
}

BOOL WINAPI onConsoleEvent(DWORD event) {
  if ((event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) && gFlag) {
    gFlag->store(true);
    return TRUE;
  }
  return FALSE;
}

}  // namespace

void prepareConsole() {
  std::fflush(stdout);
  std::fflush(stderr);
  ::_setmode(::_fileno(stdout), _O_BINARY);
  ::_setmode(::_fileno(stderr), _O_BINARY);

  DWORD mode = 0;
  const bool outConsole = consoleMode(STD_OUTPUT_HANDLE, &mode);
  const bool errConsole = consoleMode(STD_ERROR_HANDLE, &mode);
  if (outConsole) std::setvbuf(stdout, nullptr, _IOFBF, kConsoleBuffer);
  if (errConsole) std::setvbuf(stderr, nullptr, _IOFBF, kConsoleBuffer);
  if (outConsole || errConsole) {
    const UINT earlier = ::GetConsoleOutputCP();
    if (earlier != CP_UTF8 && ::SetConsoleOutputCP(CP_UTF8)) {
      gEarlierCodePage = earlier;
      std::atexit(restoreCodePage);
    }
  }
  // Live progress lines move the cursor with escape sequences; consoles
  // that can't be taught them get the final lines only.
  if (consoleMode(STD_ERROR_HANDLE, &mode) && (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) == 0)
    ::SetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

bool stderrIsTerminal() {
  DWORD mode = 0;
  return consoleMode(STD_ERROR_HANDLE, &mode) && (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

int terminalColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!::GetConsoleScreenBufferInfo(::GetStdHandle(STD_ERROR_HANDLE), &info)) return 0;
  return info.srWindow.Right - info.srWindow.Left + 1;
}

const char* terminalType() {
  const char* term = std::getenv("TERM");
  return term ? term : "console";
}

InterruptCatcher::InterruptCatcher(std::atomic<bool>& flag) {
  gFlag = &flag;
  ::SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

InterruptCatcher::~InterruptCatcher() {
  ::SetConsoleCtrlHandler(onConsoleEvent, FALSE);
  gFlag = nullptr;
}

}  // namespace quorvane::cli
