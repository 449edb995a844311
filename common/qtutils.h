#pragma once

#include <string>

#include <QString>

// File and text helpers for Qt code.

// Removes the folder and everything in it, hidden entries included. Links are removed, never
// followed, so nothing outside the tree is touched; a path that is itself a link loses only
// the link. False when the folder does not exist or anything could not be removed.
bool removeDir(const QString &path);

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
