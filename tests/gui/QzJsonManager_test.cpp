#include "gui/QzJsonManager.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTextCodec>
#include <gtest/gtest.h>

namespace {

class JsonFiles : public ::testing::Test {
protected:
    QString write(const QByteArray &content, const QString &name = QStringLiteral("file.json"))
    {
        const QString path = dir.filePath(name);
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(content);
        return path;
    }
    // Loads `plan` as the stored plan.
    void loadPlan(const QByteArray &plan) { ASSERT_EQ(json.loadPatch(write(plan, QStringLiteral("plan.json"))), 0); }

    QTemporaryDir dir;
    QzJsonManager json;
};

QByteArray utf16(const QByteArray &utf8, const char *codec)
{
    // Qt's UTF-16 codecs write the byte-order mark first.
    return QTextCodec::codecForName(codec)->fromUnicode(QString::fromUtf8(utf8));
}

struct SettingCase {
    const char *name;
    QByteArray content;
    int code;
    int interval; // the interval afterwards; starts at 777
};

TEST_F(JsonFiles, SettingFileCodesAndInterval)
{
    const SettingCase cases[] = {
        {"number", R"({"sendInterval": 500})", 0, 500},
        {"integer part of a fraction", R"({"sendInterval": 99.99})", 0, 99},
        {"truncated toward zero", R"({"sendInterval": 250.9})", 0, 250},
        {"zero", R"({"sendInterval": 0})", 0, 0},
        {"absent", R"({})", 0, 777},
        {"other keys around it", R"({"a": "x", "sendInterval": 300, "z": [1]})", 0, 300},
        {"key differs in case", R"({"SendInterval": 300})", 0, 777},
        {"top-level array", R"([1, 2])", 0, 777},
        {"string", R"({"sendInterval": "500"})", 2, 777},
        {"null", R"({"sendInterval": null})", 2, 777},
        {"negative", R"({"sendInterval": -1})", 2, 777},
        {"beyond an int", R"({"sendInterval": 1e20})", 2, 777},
        {"truncated text", R"({"sendInterval": 500)", 2, 777},
        {"empty file", "", 2, 777},
        {"not JSON", "sendInterval=500", 2, 777},
        {"binary", QByteArray("\x00\xff\xfe{\x01", 5), 2, 777},
        {"UTF-8 byte-order mark", "\xEF\xBB\xBF" R"({"sendInterval": 42})", 0, 42},
        {"UTF-16LE byte-order mark", utf16(R"({"sendInterval": 43})", "UTF-16LE"), 0, 43},
        {"UTF-16BE byte-order mark", utf16(R"({"sendInterval": 44})", "UTF-16BE"), 0, 44},
    };
    for (const SettingCase &c : cases) {
        int interval = 777;
        EXPECT_EQ(json.loadSetting(write(c.content), interval), c.code) << c.name;
        EXPECT_EQ(interval, c.interval) << c.name;
    }
}

TEST_F(JsonFiles, MissingFilesAreCodeOneAndChangeNothing)
{
    int interval = 777;
    EXPECT_EQ(json.loadSetting(dir.filePath(QStringLiteral("absent.json")), interval), 1);
    EXPECT_EQ(interval, 777);
    EXPECT_EQ(json.loadSetting(dir.path(), interval), 1) << "a directory cannot be read";

    loadPlan(R"({"devs": [{"id": 1, "devType": "KTV4-S", "rxChs": [{"rxCh": 1, "txCh": 2, "id": 1, "devType": "KTV4-S"}]}]})");
    EXPECT_EQ(json.loadPatch(dir.filePath(QStringLiteral("absent.json"))), 1);
    EXPECT_EQ(json.loadPatch(write("{\"devs\": [")), 2);
    QList<QVariantMap> entries;
    EXPECT_TRUE(json.devicePatches(QStringLiteral("001:KTV4-S"), entries));
    EXPECT_EQ(entries.size(), 1) << "a failed load keeps the plan loaded before";
}

TEST_F(JsonFiles, UnusablePlansYieldNoEntries)
{
    const QByteArray plans[] = {
        R"({})",
        R"([])",
        R"({"devs": []})",
        R"({"devs": {"id": 1}})",
        R"({"devs": "none"})",
        R"({"comment": "x", "devs": [{"id": 1, "devType": "KTV4-S", "rxChs": []}]})",
        R"({"Devs": [{"id": 1, "devType": "KTV4-S", "rxChs": []}], "devs": [{"id": 1, "devType": "KTV4-S", "rxChs": []}]})",
    };
    const QVariantMap sentinel{{QStringLiteral("kept"), true}};
    for (const QByteArray &plan : plans) {
        loadPlan(plan);
        QList<QVariantMap> entries{sentinel};
        EXPECT_TRUE(json.devicePatches(QStringLiteral("001:KTV4-S"), entries)) << plan.constData();
        EXPECT_EQ(entries, QList<QVariantMap>{sentinel}) << plan.constData();
        EXPECT_FALSE(json.planUsable()) << plan.constData();
        QStringList keys;
        EXPECT_FALSE(json.deviceKeys(keys)) << plan.constData();
        EXPECT_TRUE(keys.isEmpty());
    }
}

TEST_F(JsonFiles, DeviceKeysCarryTheUnitIdInUpperCaseHex)
{
    loadPlan(R"({"devs": [
        {"id": 26, "devType": "RQA-310", "rxChs": []},
        {"id": 1, "devType": "KTV4-S"},
        {"devType": "RQA-310", "id": 97.9},
        {"id": 4096, "devType": "RQA-310"},
        {"rxChs": []},
        "not an object"
    ], "zzz": 1})");
    QStringList keys{QStringLiteral("before")};
    EXPECT_TRUE(json.deviceKeys(keys));
    EXPECT_EQ(keys, QStringList({"before", "01A:RQA-310", "001:KTV4-S", "061:RQA-310", "1000:RQA-310", "000:", "000:"}));

    const struct {
        const char *key;
        bool matches;
    } lookups[] = {{"01A:RQA-310", true}, {"001A:RQA-310", false}, {"01a:RQA-310", false}, {"01A:rqa-310", false}, {"26:RQA-310", false}};
    loadPlan(R"({"devs": [{"id": 26, "devType": "RQA-310", "rxChs": [{"rxCh": 2, "txCh": 5, "id": 1, "devType": "KTV4-S"}]}]})");
    for (const auto &l : lookups) {
        QList<QVariantMap> entries;
        EXPECT_TRUE(json.devicePatches(QString::fromLatin1(l.key), entries));
        EXPECT_EQ(entries.size(), l.matches ? 1 : 0) << l.key;
    }
}

TEST_F(JsonFiles, PatchEntriesOfTheAskedDevice)
{
    loadPlan(R"({"devs": [
        {"id": 1, "devType": "RQA-310", "rxChs": [
            {"rxCh": 1, "txCh": 3, "id": 1, "devType": "KTV4-S", "note": "ignored"},
            {"rxCh": 2.5, "txCh": 4.9, "id": 2, "devType": "KTV4-S"},
            {"txCh": 7, "id": 1, "devType": "KTV4-S"},
            {"rxCh": 2, "id": 1, "devType": "KTV4-S"},
            {"rxCh": 2, "txCh": 7, "devType": "KTV4-S"},
            "not an entry"
        ]},
        {"id": 2, "devType": "RQA-310", "rxChs": [{"rxCh": 1, "txCh": 9, "id": 1, "devType": "KTV4-S"}]},
        {"id": 2, "devType": "RQA-310", "rxChs": [{"rxCh": 2, "txCh": 10, "id": 1, "devType": "KTV4-S"}]}
    ]})");
    QList<QVariantMap> entries;
    ASSERT_TRUE(json.devicePatches(QStringLiteral("001:RQA-310"), entries));
    const QList<QVariantMap> expected{
        {{"txDevType", "KTV4-S"}, {"txId", 1}, {"rxCh", 1}, {"txCh", 3}},
        {{"txDevType", "KTV4-S"}, {"txId", 2}, {"rxCh", 2}, {"txCh", 4}},
    };
    EXPECT_EQ(entries, expected) << "entries lacking a channel or the feeding unit are left out";
    for (const QVariantMap &e : entries)
        EXPECT_EQ(e.value("rxCh").type(), QVariant::Int);

    ASSERT_TRUE(json.devicePatches(QStringLiteral("002:RQA-310"), entries));
    ASSERT_EQ(entries.size(), 1);
    EXPECT_EQ(entries[0].value("txCh").toInt(), 10) << "the later device object with the same key wins";

    entries = {{{"kept", true}}};
    ASSERT_TRUE(json.devicePatches(QStringLiteral("003:RQA-310"), entries));
    EXPECT_EQ(entries.size(), 1);
    EXPECT_TRUE(entries[0].value("kept").toBool()) << "no matching device leaves the list alone";
}

TEST_F(JsonFiles, MalformedDeviceObjectsFailEveryLookup)
{
    const char *good = R"({"id": 1, "devType": "KTV4-S", "rxChs": [{"rxCh": 1, "txCh": 1, "id": 2, "devType": "KTV4-S"}]})";
    const struct {
        const char *what;
        const char *device;
    } malformed[] = {
        {"id as a string", R"({"id": "2", "devType": "KTV4-S", "rxChs": []})"},
        {"id beyond an int", R"({"id": 1e12, "devType": "KTV4-S", "rxChs": []})"},
        {"devType as a number", R"({"id": 2, "devType": 4, "rxChs": []})"},
        {"rxChs not an array", R"({"id": 2, "devType": "KTV4-S", "rxChs": {"rxCh": 1}})"},
        {"rxCh as a string", R"({"id": 2, "devType": "KTV4-S", "rxChs": [{"rxCh": "1", "txCh": 1, "id": 1, "devType": "KTV4-S"}]})"},
        {"txCh as null", R"({"id": 2, "devType": "KTV4-S", "rxChs": [{"rxCh": 1, "txCh": null, "id": 1, "devType": "KTV4-S"}]})"},
        {"entry devType as a bool", R"({"id": 2, "devType": "KTV4-S", "rxChs": [{"rxCh": 1, "txCh": 1, "id": 1, "devType": true}]})"},
    };
    for (const auto &m : malformed) {
        loadPlan(QByteArray("{\"devs\": [") + good + ", " + m.device + "]}");
        for (const QString &key : {QStringLiteral("001:KTV4-S"), QStringLiteral("002:KTV4-S"), QStringLiteral("009:KTV4-S")}) {
            QList<QVariantMap> entries;
            EXPECT_FALSE(json.devicePatches(key, entries)) << m.what;
            // An earlier device that matched has already delivered its entries.
            EXPECT_EQ(entries.size(), key == QLatin1String("001:KTV4-S") ? 1 : 0) << m.what;
        }
    }

    // deviceKeys reads only "id" and "devType".
    loadPlan(R"({"devs": [{"id": 1, "devType": "KTV4-S"}, {"id": 2, "devType": "KTV4-S", "rxChs": 5}, {"id": "3"}, {"id": 4}]})");
    QStringList keys;
    EXPECT_FALSE(json.deviceKeys(keys));
    EXPECT_EQ(keys, QStringList({"001:KTV4-S", "002:KTV4-S"}));
}

TEST_F(JsonFiles, DamagedPlansNeverCrashTheReaders)
{
    const QByteArray plan = R"({"devs": [{"id": 1, "devType": "KTV4-S", "rxChs": [{"rxCh": 1, "txCh": 3, "id": 26, "devType": "RQA-310"}]},)"
                            R"( {"id": 26, "devType": "RQA-310", "rxChs": [{"rxCh": 2, "txCh": 64, "id": 1, "devType": "KTV4-S"}]}]})";
    QRandomGenerator random(20240611);
    const char replacements[] = "{}[]\":,0-9.e+ a\\\x00\xff";
    for (int round = 0; round < 400; ++round) {
        QByteArray damaged = plan;
        const int edits = 1 + random.bounded(4);
        for (int i = 0; i < edits && !damaged.isEmpty(); ++i) {
            const int at = random.bounded(damaged.size());
            switch (random.bounded(3)) {
            case 0: damaged[at] = replacements[random.bounded(int(sizeof replacements) - 1)]; break;
            case 1: damaged.remove(at, 1 + random.bounded(8)); break;
            default: damaged.truncate(at); break;
            }
        }
        QzJsonManager reader;
        const int code = reader.loadPatch(write(damaged));
        ASSERT_TRUE(code == 0 || code == 2);
        QStringList keys;
        reader.deviceKeys(keys);
        QList<QVariantMap> entries;
        reader.devicePatches(QStringLiteral("001:KTV4-S"), entries);
        for (const QVariantMap &e : entries)
            EXPECT_EQ(e.size(), 4);
    }
}

} // namespace
