// File, path and text helpers for the small key, certificate and request files of the library.
// None of them takes a lock or keeps state; failures are reported through the result, never by
// an exception (except allocation failures where the result is a string or a list).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vornak2 {

// True when `path` names an existing directory (symbolic links followed).
bool DirExists(const std::string& path) noexcept;
// The size of the regular file `path`; nullopt when it cannot be examined.
std::optional<std::uint64_t> FileSize(const std::string& path) noexcept;
// True when `path` names anything that exists.
bool FileExists(const std::string& path) noexcept;
// Creates the one directory `path` (its parent must exist); true when it is a directory afterwards.
bool MakeDir(const std::string& path) noexcept;
// Deletes the file `path`; false when there is none or it cannot be deleted.
bool DeleteFile(const std::string& path) noexcept;

// `path` ending in the path separator: an empty path stays empty, a path that already ends in
// the separator is returned unchanged, any other path gets the separator appended. (On systems
// with drive letters a one-letter path "C" becomes the drive root "C:\".)
std::string AddPathSeparator(std::string path);

// The directory part of `path`: everything up to and including the last separator (or, where
// drive letters exist, the drive colon); empty when there is none.
std::string DirectoryPart(const std::string& path);

// Creates `path` and every missing parent directory. True when the directory exists afterwards
// (also when it existed before or is the root "/"); false for an empty path or when a directory
// cannot be created. Relative paths are created relative to the current directory.
bool ForceDirs(const std::string& path) noexcept;

// Reads the whole regular file `fileName` into `buffer` when its size is at most `capacity`; then
// sets `capacity` to the size and gives true. A missing or unreadable file, a file larger than
// `capacity` or a negative `capacity` gives false and leaves `capacity` unchanged. The data is
// not terminated: callers that need text reserve a byte beyond `capacity` for the NUL.
bool ReadFileToBuffer(const std::string& fileName, void* buffer, std::int32_t& capacity) noexcept;

// Replaces `fileName` with `size` bytes from `buffer` (size 0 leaves an empty file) as a change of
// its own under the lock of its directory (support/file_change.h): the bytes go to a staged file
// that is renamed over the target, so a failed write keeps the previous file intact and a stop
// leaves nothing that the next change there does not clean up. `ownerOnly` makes the file readable
// and writable by its owner only (secret keys). False on any failure, including a negative `size`
// or a null `buffer` with a positive size.
bool WriteBufferToFile(const std::string& fileName, const void* buffer, std::int32_t size,
                       bool ownerOnly = false) noexcept;

// Copies the content of `source` to `destination`, replacing it as WriteBufferToFile does. False
// when the source cannot be read or the destination cannot be written; the destination keeps its
// old content then. An empty source gives true and leaves the destination as it was.
bool CopyFileContents(const std::string& source, const std::string& destination) noexcept;

// Appends to `list` the paths (AddPathSeparator(directory) + name) of the files in `directory`
// whose last three name characters equal `extension` ignoring ASCII case ("crt" matches
// "x.crt" and "X.CRT"; the dot is not checked). Entries whose names begin with "." are skipped.
// With `recursive`, sub-directories are searched too (each real directory once, so links that
// form cycles end). Entries come in name order. A missing directory appends nothing.
void FindFilesByExtension(const std::string& directory, const std::string& extension,
                          std::vector<std::string>& list, bool recursive);

// Appends the pieces of `text` between ";" to `list`, empty pieces included, and gives their
// number (the number of ";" plus one). A null or empty text appends nothing and gives 0.
int SplitBySemicolon(const char* text, std::vector<std::string>& list);

// Upper-case hexadecimal rendering of `length` bytes: a blank between groups of `groupSize`
// bytes and CR LF between lines of `lineSize` bytes (the blank comes first where both fall on
// the same byte). A null `data` or a `length` below 1 gives an empty text.
std::string HexDump(const void* data, std::int32_t length, int groupSize, int lineSize);

// ---- UIDs that become paths ----
// UIDs come from certificates and from transfers that peers sign, so they are untrusted. This is
// the one place that decides whether a UID may name files: it may when it is not empty, holds no
// "/", "\", ":" or control character, and, when it has a ".", the part before its first "." is
// not empty and the rest is not empty and holds no further ".". Every directory level a UID forms
// (the prefix, each character of the tail, the whole UID as an authority directory) is then a
// plain name, never "", "." or "..", so a UID stays inside the directory it is used in and two
// different UIDs never name the same file.
bool UidMayBecomePath(std::string_view uid) noexcept;

// The certificate-store path of `uid` inside `directory` (which ends with its separator): the
// part of the uid before its first ".", then "@", then one directory for every character after
// the "." except the last, which names the file with extension ".crt". "H.0" in "/r/crt/" gives
// "/r/crt/H/@/0.crt"; "AB.1234" gives "/r/crt/AB/@/1/2/3/4.crt". An empty directory, a uid
// without "." and a uid that may not become a path give an empty path.
std::string CertPathByUID(std::string_view uid, std::string_view directory);
// The directories that hold the store file of `uid`, outermost first: "AB.123" in "/r/" gives
// "/r/AB", "/r/AB/@", "/r/AB/@/1", "/r/AB/@/1/2". Empty when CertPathByUID is.
std::vector<std::string> CertDirsByUID(std::string_view uid, std::string_view directory);
// The directory of an authority's certificates: `secretDir` (with its separator added) + uid.
// Empty when `secretDir` is empty or the uid is not one plain name (dots are allowed).
std::string AuthorityDirByUID(std::string_view secretDir, std::string_view uid);

// The file-name part of a path received from another party: the text after its last "/", "\" or
// ":" (a path from a Windows peer carries "C:\dir\name.crt").
std::string_view FileNamePart(std::string_view path) noexcept;
// True for a name that can be a file in a directory: not empty, not "." or "..".
bool IsPlainFileName(std::string_view name) noexcept;

// Moves the file `from` to `to`, replacing `to` when it exists; the move is flushed to disk, and
// across file systems the content is written through a temporary file as WriteBufferToFile does.
// False on failure, with `from` still in place.
bool MoveFile(const std::string& from, const std::string& to) noexcept;
// Renames `from` to `to` only when no file `to` exists; never replaces one.
bool RenameNoReplace(const std::string& from, const std::string& to) noexcept;
// The first of number.old, number.old.1, number.old.2, ... in `dir` (which ends with its
// separator) that does not exist: where a secret key file is moved aside instead of overwritten.
std::string FreeOldKeyName(const std::string& dir, std::int32_t number);
// True when both paths name one existing file.
bool SameFile(const std::string& a, const std::string& b) noexcept;

}  // namespace vornak2
