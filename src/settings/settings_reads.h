// Reads of the settings files, kept while the file is known not to have
// changed. Whether it has is asked of the system (the file's identity, size
// and time stamps, by path) at most once per millisecond per file, so an edit
// made in any way, by any process, through any link, shows within a
// millisecond. The module's own writes show at once. Nothing is kept per
// thread, and no system object is held.
#pragma once

#include <cstdint>
#include <string>

#include "common/reentrant_rw_lock.h"
#include "platform/file_stamp.h"
#include "platform/profile.h"

namespace zep {

// How long a stamp is trusted without asking again.
constexpr uint64_t kStampCheckNanoseconds = 1000000;
// A file written this recently may be written again within the same tick of
// the file system's clock, with the same size, and keep its stamp: what was
// read from it is not trusted until its stamp is older than this.
constexpr int64_t kStampSettleNanoseconds = 50000000;

// After the module's own writes: every kept read is read again.
void SettingsWritten();
// How many times SettingsWritten has been called.
uint64_t SettingsWrites();

// Whether a file may have changed between two calls, from its stamp.
class FileChangeCheck {
 public:
  // True when the file may have changed since the previous call, and on the
  // first call; true too when the system could not tell.
  bool Changed(const std::string& path);
  // Forgets the stamp: the next call answers true.
  void Forget() { known_ = false; }

 private:
  platform::FileStamp stamp_;
  bool known_ = false;
  bool settled_ = false;
};

// As platform::ReadProfileValue; a read is made again only when its file may
// have changed since it was last made, and then under fileLock shared (a read
// that is kept touches no file and takes no lock). When fileLock refuses,
// nothing is read: 0 characters, and the result kFailed. Every outcome is
// kept as long as a value read would be; a read that failed gives the last
// value known for the key instead, when there is one.
uint32_t ReadProfileValueCached(const char* section, const char* key, const char* defaultValue, char* out,
                                uint32_t outSize, const std::string& file, platform::ProfileRead* result,
                                ReentrantRwLock& fileLock);

}  // namespace zep
