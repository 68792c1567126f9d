// Reads of the settings files, kept while the file is known not to have
// changed. Whether it has is asked of the system (the file's identity, size
// and time stamps, by path) at most once per millisecond per file, by one
// watch per file that all its readers share (the log level and the kept
// reads alike), so an edit made in any way, by any process, through any
// link, shows within a millisecond. The module's own writes show at once.
// A kept read takes no lock, allocates nothing and builds no text: the
// values kept for a file are published as one immutable set, replaced whole
// when a value changes. Nothing is kept per thread, and no system object is
// held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/reentrant_rw_lock.h"
#include "platform/profile.h"

namespace zep {

// How long a stamp is trusted without asking again.
constexpr uint64_t kStampCheckNanoseconds = 1000000;
// A file written again within the same tick of the file system's clock, with
// the same size, keeps its stamp: what is read from a file is not trusted
// until its stamp has stood this long, by the module's own clock, since the
// module first saw it.
constexpr uint64_t kStampSettleNanoseconds = 50000000;

// After the module's own writes: every kept read is read again.
void SettingsWritten();
// How many times SettingsWritten has been called.
uint64_t SettingsWrites();

// What is known of one file. Made on first use, never destroyed.
struct FileWatch;

// The watch of the file the path names; null when the module watches too
// many files already (their reads are then made every time).
FileWatch* WatchFile(const char* path, size_t length);

// A number that moves whenever the file may have changed: what was read at
// one version may be kept while the version stands. Versions are unique
// across files. 0 when none can be given now (another thread is asking the
// system while this process has written since): read, and keep nothing.
uint64_t FileVersion(FileWatch& watch);

// After a read of the file failed: the next look moves the version whatever
// the stamp says, so that the read is made again once the window is over.
void FileReadFailed(FileWatch& watch);

// As platform::ReadProfileValue; a read is made again only when its file may
// have changed since it was last made, and then under fileLock shared when
// one is given (a read that is kept touches no file and takes no lock). When
// fileLock refuses, nothing is read: 0 characters, and the result kFailed.
// Every outcome is kept as long as a value read would be; a read that failed
// gives the last value known for the key instead, when there is one.
uint32_t ReadProfileValueCached(const char* section, const char* key, const char* defaultValue, char* out,
                                uint32_t outSize, const std::string& file, platform::ProfileRead* result,
                                ReentrantRwLock* fileLock);

}  // namespace zep
