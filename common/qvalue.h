#pragma once

#include <string>

#include <QByteArray>
#include <QMetaType>
#include <QString>
#include <QStringList>

#include <json/json.h>

// JSON values for Qt code. QValue is jsoncpp's Json::Value; it travels through queued
// signals under the meta-type name "QValue" (registerQValueMetaType()).
//
// jsoncpp throws Json::LogicError on a wrong type (member access on a non-object, asInt on
// text, ...). Replies and files may have any shape, so read them through these functions:
// they check the type first and never throw.
typedef Json::Value QValue;
Q_DECLARE_METATYPE(QValue)

// Registers "QValue" for queued connections; call once before such signals are emitted.
void registerQValueMetaType();

// Parses a document (text as UTF-8). On failure `root` is null, false is returned and, when
// given, `error` gets the parser's message.
bool parseJson(const QByteArray &document, QValue &root, bool collectComments = true, QString *error = nullptr);
bool parseJson(const QString &document, QValue &root, bool collectComments = true, QString *error = nullptr);

// A string value holding the text's UTF-8 bytes.
QValue toQValue(const QString &text);

// Text of a value: null gives "", a string its UTF-8 text, a bool "true"/"false", a number
// its decimal text; arrays and objects give "".
QString asQString(const QValue &value);
// Same, `def` for null, arrays and objects.
QString asQString(const QValue &value, const QString &def);

// Numbers of a value: numbers (in range), bools and texts holding a number convert; every
// other shape gives `def`.
int jsonInt(const QValue &value, int def = 0);
qint64 jsonInt64(const QValue &value, qint64 def = 0);
double jsonDouble(const QValue &value, double def = 0.0);
// Bools, numbers (non-zero is true) and the texts "true"/"false"/"1"/"0"; else `def`.
bool jsonBool(const QValue &value, bool def = false);

// Member of an object; a null value (never a throw) when `value` is no object or lacks it.
const QValue &jsonMember(const QValue &value, const QString &name);
// Writable member: a null `value` becomes an object and a missing member is created.
// For any other type the value is left untouched and a scratch value is returned.
QValue &jsonMember(QValue &value, const QString &name);
// A member that has to be text when it is there: a string sets `out`, true; a missing or null
// member (or a `value` that is no object) leaves `out` alone, true; any other shape leaves it
// alone, false.
bool jsonOptionalString(const QValue &value, const QString &name, std::string &out);
// Element `index` of an array; a null value when out of range or not an array.
const QValue &jsonAt(const QValue &value, int index);
// Number of elements of an array or members of an object; 0 otherwise.
int jsonSize(const QValue &value);

bool jsonIsMember(const QValue &value, const QString &name);
// Removes and returns a member (null when there was none or `value` is no object).
QValue jsonRemoveMember(QValue &value, const QString &name);
// Member names in the library's order (sorted); empty for anything but an object.
QStringList getMemberNameList(const QValue &value);

// styled: the indented text of Json::StyledWriter; otherwise the one-line text of
// Json::FastWriter.
QByteArray toStyledByteArray(const QValue &value, bool styled);
// Always the one-line text.
QString toStyledQString(const QValue &value);

// A writer's text of a value (Json::FastWriter or Json::StyledWriter), as bytes or as text.
QByteArray writeByteArray(Json::Writer &writer, const QValue &value);
QString writeQString(Json::Writer &writer, const QValue &value);
