#include <thread>
#include <vector>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QObject>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include "qjsonfile.h"
#include "qvalue.h"
#include "testsupport.h"

// The library's older writers are the ones this program's files are written with.
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"

class QValueCarrier : public QObject
{
    Q_OBJECT

signals:
    void carried(bool ok, const QValue &data, const QString &message);

public slots:
    void onCarryReponse(bool ok, const QValue &data, const QString &message)
    {
        m_ok = ok;
        m_data = data;
        m_message = message;
        ++m_calls;
    }

public:
    bool m_ok = false;
    QValue m_data;
    QString m_message;
    int m_calls = 0;
};

namespace
{
    QValue parsed(const char *text)
    {
        QValue root;
        EXPECT_TRUE(parseJson(QByteArray(text), root)) << text;
        return root;
    }

    // Replies and files of every shape: no adapter may throw, and each gives its neutral answer.
    class WrongShapeTest : public ::testing::TestWithParam<const char *>
    {
    };

    TEST_P(WrongShapeTest, EveryAdapterAnswersWithoutThrowing)
    {
        QValue root = parsed(GetParam());
        ASSERT_NO_THROW({
            const QValue &constRoot = root;
            const QValue &code = jsonMember(constRoot, QStringLiteral("code"));
            const QValue &deep = jsonMember(jsonMember(jsonAt(jsonMember(constRoot, QStringLiteral("data")), 0),
                                                       QStringLiteral("id")), QStringLiteral("x"));
            (void)asQString(code);
            (void)asQString(deep, QStringLiteral("none"));
            (void)jsonInt(code, -1);
            (void)jsonInt64(jsonMember(constRoot, QStringLiteral("data")), -1);
            (void)jsonDouble(jsonMember(constRoot, QStringLiteral("msg")), -1);
            (void)jsonBool(jsonMember(constRoot, QStringLiteral("data")), true);
            (void)jsonSize(jsonMember(constRoot, QStringLiteral("data")));
            (void)jsonIsMember(constRoot, QStringLiteral("code"));
            (void)getMemberNameList(jsonMember(constRoot, QStringLiteral("data")));
            for (int i = -1; i < 3; ++i)
                (void)asQString(jsonAt(constRoot, i));
            (void)asQString(root);
            (void)jsonInt(root);
            (void)jsonRemoveMember(root, QStringLiteral("missing"));
            jsonMember(root, QStringLiteral("added")) = 1;
            (void)toStyledByteArray(root, true);
            (void)toStyledQString(root);
        });
        // Writing a member never destroys a value of another type.
        const QValue original = parsed(GetParam());
        if (!original.isObject() && !original.isNull()) {
            EXPECT_EQ(root, original);
        }
    }

    INSTANTIATE_TEST_SUITE_P(Documents, WrongShapeTest, ::testing::Values(
        "null", "5", "-2.5", "true", "\"text\"", "[1, \"a\", {}]",
        "{\"code\": \"zero\", \"msg\": [1], \"data\": 7}",
        "{\"code\": {}, \"msg\": null, \"data\": [\"x\", {\"id\": [1]}]}",
        "{\"code\": 1e300, \"data\": {\"id\": true}}"));

    TEST(QValueTest, TextOfEveryType)
    {
        struct Case { const char *json; QString text; } cases[] = {
            { "null", QString() },
            { "true", QStringLiteral("true") },
            { "false", QStringLiteral("false") },
            { "5", QStringLiteral("5") },
            { "-3", QStringLiteral("-3") },
            { "18446744073709551615", QStringLiteral("18446744073709551615") },
            { "2.5", QStringLiteral("2.5") },
            { "0.1", QStringLiteral("0.1") },
            { "\"视频课程\"", QStringLiteral("视频课程") },
            { "[1]", QString() },
            { "{\"a\":1}", QString() },
        };
        for (const Case &c : cases)
            EXPECT_EQ(asQString(parsed(c.json)), c.text) << c.json;
        EXPECT_EQ(asQString(parsed("[1]"), QStringLiteral("d")), QStringLiteral("d"));
        EXPECT_EQ(asQString(toQValue(QStringLiteral("中文 \U0001F600"))), QStringLiteral("中文 \U0001F600"));
    }

    TEST(QValueTest, NumbersAndBoolsFromEveryType)
    {
        struct Case { const char *json; int i; qint64 i64; double d; bool b; } cases[] = {
            { "12", 12, 12, 12.0, true },
            { "\"12\"", 12, 12, 12.0, false },
            { "\" 7 \"", 7, 7, 7.0, false },
            { "3.9", 3, 3, 3.9, true },
            { "true", 1, 1, 1.0, true },
            { "\"abc\"", -1, -1, -1.0, false },
            { "5000000000", -1, 5000000000LL, 5e9, true },
            { "1e300", -1, -1, 1e300, true },
            { "null", -1, -1, -1.0, false },
            { "[1]", -1, -1, -1.0, false },
            { "{}", -1, -1, -1.0, false },
            { "\"true\"", -1, -1, -1.0, true },
        };
        for (const Case &c : cases) {
            const QValue v = parsed(c.json);
            EXPECT_EQ(jsonInt(v, -1), c.i) << c.json;
            EXPECT_EQ(jsonInt64(v, -1), c.i64) << c.json;
            EXPECT_DOUBLE_EQ(jsonDouble(v, -1.0), c.d) << c.json;
            EXPECT_EQ(jsonBool(v, false), c.b) << c.json;
        }
    }

    // Only a string is text here: a number or any other shape is refused, a missing member is
    // no text and leaves the old value.
    TEST(QValueTest, OptionalStringMember)
    {
        struct Case { const char *json; bool ok; const char *out; } cases[] = {
            { "{\"k\": \"课程\"}", true, "课程" },
            { "{\"k\": \"\"}", true, "" },
            { "{\"k\": null}", true, "old" },
            { "{}", true, "old" },
            { "[\"k\"]", true, "old" },
            { "{\"k\": 7}", false, "old" },
            { "{\"k\": true}", false, "old" },
            { "{\"k\": [\"a\"]}", false, "old" },
            { "{\"k\": {\"a\": \"b\"}}", false, "old" },
        };
        for (const Case &c : cases) {
            std::string out = "old";
            EXPECT_EQ(jsonOptionalString(parsed(c.json), QStringLiteral("k"), out), c.ok) << c.json;
            EXPECT_EQ(out, c.out) << c.json;
        }
    }

    TEST(QValueTest, MembersAndWriters)
    {
        QValue root;
        ASSERT_TRUE(parseJson(QStringLiteral("{\"b\": 1, \"a\": \"课程\", \"c\": [1, 2]}"), root));
        EXPECT_EQ(getMemberNameList(root), (QStringList { "a", "b", "c" }));
        EXPECT_EQ(asQString(jsonMember(root, QStringLiteral("a"))), QStringLiteral("课程"));
        EXPECT_TRUE(jsonMember(static_cast<const QValue &>(root), QStringLiteral("zz")).isNull());
        EXPECT_FALSE(jsonIsMember(root, QStringLiteral("zz"))) << "a const read must not add members";
        EXPECT_EQ(jsonSize(jsonMember(root, QStringLiteral("c"))), 2);
        EXPECT_EQ(jsonInt(jsonAt(jsonMember(root, QStringLiteral("c")), 1)), 2);
        EXPECT_TRUE(jsonAt(jsonMember(root, QStringLiteral("c")), 2).isNull());

        EXPECT_EQ(jsonInt(jsonRemoveMember(root, QStringLiteral("b"))), 1);
        EXPECT_FALSE(jsonIsMember(root, QStringLiteral("b")));
        jsonMember(root, QStringLiteral("名")) = toQValue(QStringLiteral("值"));
        EXPECT_TRUE(jsonIsMember(root, QStringLiteral("名")));

        QValue one;
        jsonMember(one, QStringLiteral("k")) = 1;
        EXPECT_EQ(toStyledQString(one), QStringLiteral("{\"k\":1}\n"));
        EXPECT_EQ(toStyledByteArray(one, false), toStyledQString(one).toUtf8());
        EXPECT_EQ(toStyledByteArray(one, true), QByteArray("{\n   \"k\" : 1\n}\n"));
        Json::FastWriter fast;
        Json::StyledWriter styled;
        EXPECT_EQ(writeQString(fast, one), toStyledQString(one));
        EXPECT_EQ(writeByteArray(styled, one), toStyledByteArray(one, true));

        QValue back;
        ASSERT_TRUE(parseJson(toStyledByteArray(root, true), back));
        EXPECT_EQ(back, root);
    }

    TEST(QValueTest, BadDocumentGivesFalseNullAndAReason)
    {
        for (const char *text : { "", "{", "{\"a\":}", "[1,,2]", "\x01\x02" }) {
            QValue root(5);
            QString error;
            EXPECT_FALSE(parseJson(QByteArray(text), root, true, &error)) << text;
            EXPECT_TRUE(root.isNull()) << text;
            EXPECT_FALSE(error.isEmpty()) << text;
        }
    }

    TEST(QValueTest, TravelsThroughAQueuedSignal)
    {
        registerQValueMetaType();
        QValueCarrier sender;
        QValueCarrier receiver;
        ASSERT_TRUE(QObject::connect(&sender, SIGNAL(carried(bool, const QValue &, const QString &)),
                                     &receiver, SLOT(onCarryReponse(bool, const QValue &, const QString &)),
                                     Qt::QueuedConnection));
        std::thread worker([&sender] {
            QValue data;
            jsonMember(data, QStringLiteral("id")) = 42;
            emit sender.carried(true, data, QStringLiteral("完成"));
        });
        worker.join();
        ASSERT_TRUE(testsupport::waitUntil([&] { return receiver.m_calls == 1; }, 30000));
        EXPECT_TRUE(receiver.m_ok);
        EXPECT_EQ(jsonInt(jsonMember(receiver.m_data, QStringLiteral("id"))), 42);
        EXPECT_EQ(receiver.m_message, QStringLiteral("完成"));
    }

    class JsonFileTest : public ::testing::Test
    {
    protected:
        void SetUp() override
        {
            m_dir = testsupport::newTempDir();
            m_path = m_dir + QStringLiteral("work.json");
        }

        QString m_dir;
        QString m_path;
    };

    TEST_F(JsonFileTest, MissingFileIsAnEmptyState)
    {
        QValue root(1);
        QString error;
        EXPECT_TRUE(QJsonFile::read(m_path, root, &error));
        EXPECT_TRUE(root.isNull());
        EXPECT_TRUE(error.isEmpty());
        EXPECT_FALSE(QFileInfo::exists(m_path));
    }

    TEST_F(JsonFileTest, WriteThenReadRoundTripsAndCreatesTheFolder)
    {
        const QString path = m_dir + QStringLiteral("新/目录/records.json");
        QValue root(Json::arrayValue);
        QValue item;
        jsonMember(item, QStringLiteral("name")) = toQValue(QStringLiteral("第一课.mp4"));
        jsonMember(item, QStringLiteral("size")) = 12.5;
        root.append(item);
        ASSERT_TRUE(QJsonFile::write(path, root));
        QValue back;
        ASSERT_TRUE(QJsonFile::read(path, back));
        EXPECT_EQ(back, root);

        // Overwriting leaves no temporary files behind.
        ASSERT_TRUE(QJsonFile::write(path, QValue(Json::objectValue), false));
        EXPECT_EQ(QDir(m_dir + QStringLiteral("新/目录/")).entryList(QDir::Files | QDir::Hidden),
                  QStringList { QStringLiteral("records.json") });
    }

    TEST_F(JsonFileTest, DamagedFilesAreKeptAsBadAndNeverOverwritten)
    {
        const QByteArray first = "{\"items\": [1, 2";
        const QByteArray second = "\x00\x01 not json";
        ASSERT_TRUE(testsupport::writeAll(m_path, first));
        QValue root;
        QString error;
        EXPECT_FALSE(QJsonFile::read(m_path, root, &error));
        EXPECT_TRUE(root.isNull());
        EXPECT_TRUE(error.contains(m_path + QStringLiteral(".bad"))) << error.toStdString();
        EXPECT_FALSE(QFileInfo::exists(m_path));
        EXPECT_EQ(testsupport::readAll(m_path + QStringLiteral(".bad")), first);

        // The next damaged file gets its own name; the earlier one stays as it was.
        ASSERT_TRUE(testsupport::writeAll(m_path, QByteArray(second.constData(), 12)));
        EXPECT_FALSE(QJsonFile::read(m_path, root));
        EXPECT_EQ(testsupport::readAll(m_path + QStringLiteral(".bad")), first);
        EXPECT_EQ(testsupport::readAll(m_path + QStringLiteral(".bad.1")), QByteArray(second.constData(), 12));

        // A fresh state can then be saved in its place.
        ASSERT_TRUE(QJsonFile::write(m_path, QValue(Json::arrayValue)));
        EXPECT_TRUE(QJsonFile::read(m_path, root));
        EXPECT_TRUE(root.isArray());
    }

    TEST_F(JsonFileTest, ByteOrderMarkIsRead)
    {
        const QByteArray text = "\xEF\xBB\xBF[{\"video_key\": \"1_2_3_a.vep\"}]";
        ASSERT_TRUE(testsupport::writeAll(m_path, text));
        QValue root;
        QString error;
        EXPECT_TRUE(QJsonFile::read(m_path, root, &error)) << error.toStdString();
        ASSERT_TRUE(root.isArray());
        EXPECT_EQ(asQString(jsonMember(jsonAt(root, 0), QStringLiteral("video_key"))), QStringLiteral("1_2_3_a.vep"));
        EXPECT_EQ(testsupport::readAll(m_path), text);
        EXPECT_FALSE(QFileInfo::exists(m_path + QStringLiteral(".bad")));
    }

    TEST_F(JsonFileTest, UnreadableFileIsNotTakenForDamaged)
    {
        // A folder where the file should be can't be read: an error, and nothing is moved.
        ASSERT_TRUE(QDir().mkpath(m_path));
        QValue root(3);
        QString error;
        EXPECT_FALSE(QJsonFile::read(m_path, root, &error));
        EXPECT_TRUE(root.isNull());
        EXPECT_FALSE(error.isEmpty());
        EXPECT_TRUE(QFileInfo(m_path).isDir());
        EXPECT_FALSE(QFileInfo::exists(m_path + QStringLiteral(".bad")));
    }

    TEST_F(JsonFileTest, FailedWriteKeepsTheOldFile)
    {
        ASSERT_TRUE(QJsonFile::write(m_path, parsed("{\"keep\": 1}")));
        const QByteArray before = testsupport::readAll(m_path);
        // The folder cannot take the temporary file: a file stands where its parent should be.
        const QString blocked = m_dir + QStringLiteral("plain");
        ASSERT_TRUE(testsupport::writeAll(blocked, "x"));
        QString error;
        EXPECT_FALSE(QJsonFile::write(blocked + QStringLiteral("/work.json"), parsed("{}"), true, &error));
        EXPECT_FALSE(error.isEmpty());
        // A path that is a folder is refused, not replaced.
        const QString folder = m_dir + QStringLiteral("folder.json");
        ASSERT_TRUE(QDir().mkpath(folder));
        EXPECT_FALSE(QJsonFile::write(folder, parsed("{}")));
        EXPECT_TRUE(QFileInfo(folder).isDir());
        EXPECT_EQ(testsupport::readAll(m_path), before);
    }

    // Read member by member, every document gives what the whole document's read gives: the
    // members in the same order with the same values, or the same whole root, or the same
    // damage kept aside.
    TEST_F(JsonFileTest, MembersReadOneByOneAsTheWholeDocumentReadsThem)
    {
        struct Case
        {
            const char *what;
            QByteArray text;
        };
        const std::vector<Case> cases {
            {"compact", "{\"1\":{\"a\":1,\"s\":\"x\"},\"2\":{\"b\":[1,{\"c\":null}]}}\n"},
            {"styled", "{\n   \"10\" : {\n      \"name\" : \"第一课\"\n   },\n   \"9\" : {}\n}\n"},
            {"texts with braces and escapes", "{\"1\":{\"s\":\"}]{[\\\"\\\\\",\"t\":\"\\u7b2c\\n\"}}"},
            {"byte-order mark", "\xEF\xBB\xBF{\"5\":{\"x\":5}}"},
            {"line comment", "{\"1\":{\"a\":1}, // note\n\"2\":{\"a\":2}}"},
            {"block comment in a value", "{\"1\":{\"a\":/* one */1}}"},
            {"names out of order", "{\"2\":{\"a\":2},\"10\":{\"a\":10},\"1\":{\"a\":1}}"},
            {"one name twice", "{\"1\":{\"a\":1},\"1\":{\"a\":2}}"},
            {"escaped name", "{\"\\u0031\":{\"a\":1},\"2\":{\"a\":2}}"},
            {"name beyond ASCII", "{\"一\":{\"a\":1}}"},
            {"values of other types", "{\"1\":7,\"2\":\"x\",\"3\":[1],\"4\":{\"a\":1}}"},
            {"empty object", "{ }"},
            {"null", "null"},
            {"array", "[{\"a\":1}]"},
            {"text after the object", "{\"1\":{\"a\":1}} x"},
            {"value cut short", "{\"1\":{\"a\":1},\"2\":{\"a\":"},
            {"bad number inside a member", "{\"1\":{\"a\":1x}}"},
            {"brackets that do not match", "{\"1\":{\"a\":[1}}"},
            {"missing comma", "{\"1\":{\"a\":1} \"2\":{\"a\":2}}"},
        };
        for (const Case &c : cases) {
            SCOPED_TRACE(c.what);
            const QString whole = m_dir + QStringLiteral("whole.json");
            const QString parts = m_dir + QStringLiteral("parts.json");
            QFile::remove(whole + QStringLiteral(".bad"));
            QFile::remove(parts + QStringLiteral(".bad"));
            ASSERT_TRUE(testsupport::writeAll(whole, c.text));
            ASSERT_TRUE(testsupport::writeAll(parts, c.text));

            QValue root;
            const bool wholeRead = QJsonFile::read(whole, root);
            QStringList expected;
            if (root.isObject()) {
                for (const QString &name : getMemberNameList(root))
                    expected << name + QLatin1Char('=') + QString::fromUtf8(toStyledByteArray(jsonMember(root, name), false));
                root = QValue();
            }

            QStringList members;
            QValue rest(5);
            const bool partsRead = QJsonFile::readMembers(parts, [&](const QString &name, const QValue &value) {
                members << name + QLatin1Char('=') + QString::fromUtf8(toStyledByteArray(value, false));
            }, rest);
            EXPECT_EQ(partsRead, wholeRead);
            EXPECT_EQ(rest, root);
            if (wholeRead) {
                EXPECT_EQ(members, expected);
            }
            EXPECT_EQ(QFileInfo::exists(parts + QStringLiteral(".bad")), QFileInfo::exists(whole + QStringLiteral(".bad")));
        }
    }
}

#include "test_json.moc"
