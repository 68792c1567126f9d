// Private-profile files on Windows, with the semantics of profile_document.h:
// the same reader and editor as on POSIX, which the profile-semantics test
// holds to the system's own profile functions. A file is opened once, and
// its size, its text and a write all go through that one handle: what the
// path names meanwhile does not matter, and no more than
// kMaxProfileFileBytes + 1 bytes are ever read.
//
// Readers and writers deny each other write sharing, so that no reader sees
// half a write. A file held so by someone else is tried again for a moment
// (the module's own accesses take microseconds), then the access fails as any
// failed access does. Opens pass FILE_COMPLETE_IF_OPLOCKED: an opportunistic
// lock that someone placed on the file never holds an open up, and an open
// that found one being broken counts as held, since a read or write through
// it would wait for the lock's holder.
#include <windows.h>

#include <winternl.h>

#include <cstring>
#include <optional>
#include <string>

#include "platform/profile.h"
#include "platform/profile_document.h"
#include "platform/win/win_resources.h"

extern "C" NTSTATUS NTAPI RtlDosPathNameToNtPathName_U_WithStatus(PCWSTR dosName, PUNICODE_STRING ntName,
                                                                  PWSTR* filePart, PVOID reserved);

namespace zep::platform {

namespace {

constexpr ULONG kCompleteIfOplocked = 0x00000100;                                // FILE_COMPLETE_IF_OPLOCKED
constexpr NTSTATUS kOplockBreakInProgress = static_cast<NTSTATUS>(0x00000108L);  // STATUS_OPLOCK_BREAK_IN_PROGRESS
constexpr NTSTATUS kSharingViolation = static_cast<NTSTATUS>(0xC0000043L);       // STATUS_SHARING_VIOLATION
constexpr ULONGLONG kHeldRetryMilliseconds = 50;

// Opens the file to read it, or to read and write it (created when missing).
// INVALID_HANDLE_VALUE with the last error set on failure.
HANDLE OpenProfile(const char* file, bool write) {
  const int length = MultiByteToWideChar(CP_ACP, 0, file, -1, nullptr, 0);
  if (length <= 1) {
    SetLastError(ERROR_INVALID_NAME);
    return INVALID_HANDLE_VALUE;
  }
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, file, -1, wide.data(), length);
  UNICODE_STRING name{};
  NTSTATUS status = RtlDosPathNameToNtPathName_U_WithStatus(wide.c_str(), &name, nullptr, nullptr);
  if (!NT_SUCCESS(status)) {
    SetLastError(RtlNtStatusToDosError(status));
    return INVALID_HANDLE_VALUE;
  }
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  const ACCESS_MASK access = FILE_READ_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE | (write ? FILE_WRITE_DATA : 0);
  const ULONG options = FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | kCompleteIfOplocked;
  const ULONGLONG deadline = GetTickCount64() + kHeldRetryMilliseconds;
  HANDLE opened = nullptr;
  for (;;) {
    IO_STATUS_BLOCK io{};
    status = NtCreateFile(&opened, access, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
                          FILE_SHARE_READ | FILE_SHARE_DELETE, write ? FILE_OPEN_IF : FILE_OPEN, options, nullptr, 0);
    if (status == kOplockBreakInProgress) {
      CloseHandle(opened);
      status = kSharingViolation;
    }
    if (status != kSharingViolation || GetTickCount64() >= deadline) break;
    Sleep(1);
  }
  RtlFreeUnicodeString(&name);
  if (!NT_SUCCESS(status)) {
    SetLastError(RtlNtStatusToDosError(status));
    return INVALID_HANDLE_VALUE;
  }
  return opened;
}

enum class TextRead { kRead, kTooLarge, kFailed };

// The whole text through the handle, from its start. The size the handle
// gives is only where reading begins: the file may grow meanwhile, and one
// byte past the bound is enough to refuse it.
TextRead ReadText(HANDLE file, std::string& text) {
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file, &size)) return TextRead::kFailed;
  if (static_cast<uint64_t>(size.QuadPart) > kMaxProfileFileBytes) return TextRead::kTooLarge;
  text.assign(static_cast<size_t>(size.QuadPart) + 1, '\0');
  size_t have = 0;
  for (;;) {
    if (have == text.size()) {
      if (have > kMaxProfileFileBytes) return TextRead::kTooLarge;
      text.resize(have * 2 < kMaxProfileFileBytes + 1 ? have * 2 : kMaxProfileFileBytes + 1);
    }
    DWORD got = 0;
    if (!ReadFile(file, &text[have], static_cast<DWORD>(text.size() - have), &got, nullptr)) return TextRead::kFailed;
    if (got == 0) break;
    have += got;
  }
  text.resize(have);
  return TextRead::kRead;
}

bool WriteText(HANDLE file, const std::string& text) {
  LARGE_INTEGER start{};
  if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return false;
  for (size_t done = 0; done < text.size();) {
    DWORD written = 0;
    if (!WriteFile(file, text.data() + done, static_cast<DWORD>(text.size() - done), &written, nullptr) || written == 0)
      return false;
    done += written;
  }
  return SetEndOfFile(file) != 0;
}

}  // namespace

uint32_t ReadProfileValue(const char* section, const char* key, const char* defaultValue, char* out, uint32_t outSize,
                          const char* file, ProfileRead* result) {
  ProfileRead ignored;
  ProfileRead& outcome = result != nullptr ? *result : ignored;
  outcome = ProfileRead::kRead;
  const std::string fallback = DefaultText(defaultValue);
  if (file == nullptr || section == nullptr || key == nullptr) return CopyOut(fallback, out, outSize);
  win::HandleCloser opened{OpenProfile(file, false)};
  if (opened.handle == INVALID_HANDLE_VALUE) {
    // A missing file (or folder) reads as empty; any other failure is one.
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) outcome = ProfileRead::kFailed;
    return CopyOut(fallback, out, outSize);
  }
  std::string text;
  switch (ReadText(opened.handle, text)) {
    case TextRead::kRead:
      break;
    case TextRead::kTooLarge:
      outcome = ProfileRead::kTooLarge;
      SetLastError(ERROR_FILE_TOO_LARGE);
      return CopyOut(fallback, out, outSize);
    case TextRead::kFailed:
      outcome = ProfileRead::kFailed;
      return CopyOut(fallback, out, outSize);
  }
  const std::optional<std::string> value = ProfileDocument(text).Read(section, key);
  return CopyOut(value ? *value : fallback, out, outSize);
}

bool WriteProfileValue(const char* section, const char* key, const char* value, const char* file) {
  if (file == nullptr || section == nullptr || key == nullptr) return false;
  win::HandleCloser opened{OpenProfile(file, true)};
  if (opened.handle == INVALID_HANDLE_VALUE) return false;
  std::string text;
  switch (ReadText(opened.handle, text)) {
    case TextRead::kRead:
      break;
    case TextRead::kTooLarge:
      SetLastError(ERROR_FILE_TOO_LARGE);
      return false;
    case TextRead::kFailed:
      return false;
  }
  ProfileDocument document(text);
  if (!document.Write(section, key, value != nullptr ? std::optional<std::string>(value) : std::nullopt))
    return true;  // nothing changes: the file stays as it is
  return WriteText(opened.handle, document.Text());
}

}  // namespace zep::platform
