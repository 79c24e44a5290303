// The shared folder as a flat file list, and the small file and list operations built on it.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/Types.h"

namespace Pondar::Fs {

using Core::RawUtf8;
using Core::TFileEntries;
using Core::TFileEntry;

// Takes the entries of a walk one by one.
using TEntrySink = std::function<void(TFileEntry&& AEntry)>;
// Hands AOnEntry one entry per regular file below ARoot, depth first in listing order, hidden
// files included. Excluded names are never entered; links to folders are walked like folders,
// each folder (device and inode) at most once. Reads listings only; Sha256 stays empty. A
// missing or unreadable root gives no entry. With ALeftovers, the full paths of the regular
// files met whose names end in ".pondartmp" (downloads in progress, or left behind by a run
// that was killed) are appended to it, at no extra cost to the walk.
void ScanFolder(const std::string& ARoot, const TEntrySink& AOnEntry,
                std::vector<std::string>* ALeftovers = nullptr);
// The same walk into AList, which is emptied first (keeping its capacity).
void ScanFolder(const std::string& ARoot, TFileEntries& AList,
                std::vector<std::string>* ALeftovers = nullptr);
// The entry a scan would list for ARelPath, as it is on disk now; nullopt when it is no regular
// file (nor a link to one).
std::optional<TFileEntry> StatEntry(const std::string& ARoot, const RawUtf8& ARelPath);
// True for "pondar.exe" and names ending in ".pondartmp", whatever their case.
bool IsExcludedName(std::string_view AName);
// True for names ending in ".pondartmp", whatever their case: downloads on their way in.
bool IsTempName(std::string_view AName);
// Last-write time in whole seconds as a UTC day count (a link's target's time); 0.0 when it
// cannot be read or the path is a folder.
double FileModifiedUtc(const std::string& APath);
// 64 lower-case hex digits of the content's SHA-256; empty when the file cannot be opened.
RawUtf8 HashFileSha256(const std::string& APath);
// Same byte length and equal bytes once bit 0x20 of each is ignored: how paths compare.
bool SameRelPath(std::string_view A, std::string_view B);
// ARoot + "/" + ARelPath, with "\" in ARelPath taken as a separator too.
std::string LocalPath(const std::string& ARoot, const RawUtf8& ARelPath);

}  // namespace Pondar::Fs
