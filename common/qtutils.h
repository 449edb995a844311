#pragma once

#include <functional>
#include <string>

#include <QByteArray>
#include <QString>

struct dirent;

// File and text helpers for Qt code.

// Removes the folder and everything in it, hidden entries included. Links are removed, never
// followed, so nothing outside the tree is touched; a path that is itself a link loses only
// the link. False when the folder does not exist or anything could not be removed.
bool removeDir(const QString &path);

// Empties the folder open as `dirFd` (the descriptor stays the caller's), relative to it and
// without following any link. False when anything could not be removed.
bool removeDirContents(int dirFd);

// Hands `visit` each entry of the folder open as `dirFd` (the descriptor stays the caller's),
// "." and ".." left out, from the start of the listing, until it returns false. False when the
// folder can't be listed.
bool forEachEntryAt(int dirFd, const std::function<bool(const struct dirent &)> &visit);

// Renames `from` in the folder `fromDir` to `to` in `toDir` without ever replacing a file:
// false (errno EEXIST) when `to` is taken. On file systems without the no-replace rename it
// falls back to a hard link and unlink, and where neither exists (FAT, exFAT, NTFS, some
// network and FUSE mounts) to a rename over an empty entry that it first makes at `to` with
// O_EXCL and finds still its own just before.
bool renameNoReplaceAt(int fromDir, const QString &from, int toDir, const QString &to);

// Tests: makes renameNoReplaceAt() act as on a file system without the no-replace rename
// and, optionally, without hard links.
void setRenameFallbackForTests(bool noReplaceUnsupported, bool linkUnsupported);
// Tests: called in the last fallback once `name` in `toDir` is held, before the rename.
void setRenameHoldHookForTests(std::function<void(int toDir, const QByteArray &name)> hook);

// The file system of the file open as `fd` (its statfs type), or 0 when it can't be told.
qint64 fileSystemTypeOf(int fd);
// True for a disk of another system (FAT, exFAT, NTFS, FUSE, SMB/CIFS shares): the mount gives
// every entry its mode and owner, and a file may get a new inode number after a remount.
bool isForeignFileSystem(qint64 fsType);

// A size in megabytes: "1024.00MB" up to 1024, above that in gigabytes ("1.50G").
QString formatFileSize(double megabytes);

// AES text encryption of the text's UTF-8 bytes under `key`; base64 result.
QString encryptQString(const QString &text, const std::string &key);
// Reverse of encryptQString(); empty text gives empty text. Throws UException when the
// text is not whole cipher blocks.
QString decryptQString(const QString &text, const std::string &key);
// Same without throwing: `ok` tells whether the text deciphered soundly (right key, whole
// blocks, valid padding). Empty on failure.
QString decryptQString(const QString &text, const std::string &key, bool *ok);

// Percent-encoding of the UTF-8 bytes (letters, digits, "-._~" kept) and its reverse.
QString percentEncode(const QString &text);
QString percentDecode(const QString &text);
