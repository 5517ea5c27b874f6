// The atomic file writer's primitives on Windows: file handles, a unique
// name tried with CREATE_NEW, FlushFileBuffers and MoveFileExA.
#include <windows.h>

#include <atomic>
#include <string>

#include "base/atomic_file_platform.h"

namespace quorvane::atomic_file {

namespace {

std::atomic<unsigned> g_tempCounter{0};

HANDLE handleOf(FileHandle file) {
  return reinterpret_cast<HANDLE>(file);
}

}  // namespace

bool checkTarget(const std::string& target, SystemError& error) {
  const DWORD attributes = ::GetFileAttributesA(target.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return true;  // nothing there yet
  if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) == 0) return true;
  error = SystemError::fromCode("GetFileAttributesA", ERROR_ACCESS_DENIED);
  return false;
}

bool createTemporary(const std::string& target, FileHandle& file, std::string& path,
                     SystemError& error) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string candidate = target + ".tmp-" + std::to_string(::GetCurrentProcessId()) + "-" +
                                  std::to_string(g_tempCounter++);
    const HANDLE h = ::CreateFileA(candidate.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      file = reinterpret_cast<FileHandle>(h);
      path = candidate;
      return true;
    }
    error = SystemError::fromLast("CreateFileA");
    if (error.code != ERROR_FILE_EXISTS && error.code != ERROR_ALREADY_EXISTS) break;
  }
  return false;
}

std::size_t writeSome(FileHandle file, const unsigned char* bytes, std::size_t count,
                      SystemError& error) {
  const DWORD chunk = count > 0x40000000u ? 0x40000000u : static_cast<DWORD>(count);
  DWORD written = 0;
  if (::WriteFile(handleOf(file), bytes, chunk, &written, nullptr) && written > 0) return written;
  error = SystemError::fromLast("WriteFile");
  return 0;
}

bool flushToDisk(FileHandle file, SystemError& error) {
  if (::FlushFileBuffers(handleOf(file))) return true;
  error = SystemError::fromLast("FlushFileBuffers");
  return false;
}

bool closeFile(FileHandle file, SystemError& error) {
  if (::CloseHandle(handleOf(file))) return true;
  error = SystemError::fromLast("CloseHandle");
  return false;
}

bool replaceFile(const std::string& from, const std::string& to, SystemError& error) {
  if (::MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    return true;
  error = SystemError::fromLast("MoveFileExA");
  return false;
}

void removeFile(const std::string& path) {
  ::DeleteFileA(path.c_str());
}

}  // namespace quorvane::atomic_file
