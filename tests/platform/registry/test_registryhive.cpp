#include "platform/registry/registryhive.h"
#include "platform/registry/prefixfixture.h"

#include <QRandomGenerator>
#include <gtest/gtest.h>

using namespace pw;

namespace {

// A user.reg as Wine writes it, with one of each kind of value.
const QByteArray SampleFile = R"(WINE REGISTRY Version 2
;; All keys relative to \\User\\S-1-5-21-0-0-0-1000

#arch=win64

[Identities] 1700000000
#time=1da2b3c4d5e6f70
"Default User ID"="{5A2F0B61-1C3E-4D7A-9F21-0B3C6A7D8E90}"
"Last Username"="Main Identity"

[Identities\\{5A2F0B61-1C3E-4D7A-9F21-0B3C6A7D8E90}\\Software\\Microsoft\\Outlook Express\\5.0] 1700000001
@="default"
"Store Root"=str(2):"%UserProfile%\\Local Settings\\Mail"
"Count"=dword:0000002a
"Blob"=hex:01,02,ff,\
  10,20,\
  30
"Expand As Hex"=hex(2):25,00,55,00,00,00
"Multi"=str(7):"one\0two\0"
"None"=hex(0):

[Software\\Wine] 1700000002
"Version"="win10"
)";

QString text(const RegistryValue &value) {
    QString result;
    for (qsizetype i = 0; i + 1 < value.data.size(); i += 2)
        result += QChar(char16_t(quint8(value.data[i]) | (quint8(value.data[i + 1]) << 8)));
    return result;
}

QStringList subkeyNames(const RegistryHive &hive, int key) {
    QStringList names;
    for (int child : hive.subkeys(key))
        names.append(hive.keyName(child));
    return names;
}

} // namespace

TEST(RegistryHive, ReadsKeysAndEveryKindOfValueOfAWineFile) {
    const RegistryHive hive = RegistryHive::parse(SampleFile);
    EXPECT_EQ(hive.skippedLines(), 0);
    EXPECT_EQ(subkeyNames(hive, RegistryHive::Root), (QStringList{"Identities", "Software"}));

    const int identities = hive.findKey(RegistryHive::Root, u"Identities");
    ASSERT_GE(identities, 0);
    EXPECT_EQ(hive.lastWriteTime(identities), 0x1da2b3c4d5e6f70ULL);
    ASSERT_EQ(hive.values(identities).size(), 2);
    EXPECT_EQ(hive.values(identities)[0].name, "Default User ID");
    EXPECT_EQ(hive.values(identities)[0].type, 1u);
    EXPECT_EQ(text(hive.values(identities)[0]), QStringLiteral("{5A2F0B61-1C3E-4D7A-9F21-0B3C6A7D8E90}") + QChar(0));

    const int version = hive.findKey(
        RegistryHive::Root, u"Identities\\{5A2F0B61-1C3E-4D7A-9F21-0B3C6A7D8E90}\\Software\\Microsoft\\Outlook Express\\5.0");
    ASSERT_GE(version, 0);
    // Seconds since 1970 on the header line become a FILETIME.
    EXPECT_EQ(hive.lastWriteTime(version), (1700000001ULL + 11644473600ULL) * 10000000ULL);
    const QList<RegistryValue> &values = hive.values(version);
    ASSERT_EQ(values.size(), 7);
    EXPECT_EQ(values[0].name, QString());
    EXPECT_EQ(text(values[0]), QStringLiteral("default") + QChar(0));
    EXPECT_EQ(values[1].type, 2u);
    EXPECT_EQ(text(values[1]), QStringLiteral("%UserProfile%\\Local Settings\\Mail") + QChar(0));
    EXPECT_EQ(values[2].type, 4u);
    EXPECT_EQ(values[2].data, QByteArray("\x2a\0\0\0", 4));
    EXPECT_EQ(values[3].type, 3u);
    EXPECT_EQ(values[3].data, QByteArray("\x01\x02\xff\x10\x20\x30"));
    EXPECT_EQ(values[4].type, 2u);
    EXPECT_EQ(values[4].data, QByteArray("%\0U\0\0\0", 6));
    EXPECT_EQ(values[5].type, 7u);
    EXPECT_EQ(text(values[5]), QString::fromUtf16(u"one\0two\0\0", 9));
    EXPECT_EQ(values[6].type, 0u);
    EXPECT_TRUE(values[6].data.isEmpty());

    EXPECT_EQ(hive.findKey(RegistryHive::Root, u"Software\\Wine"), hive.findKey(RegistryHive::Root, u"SOFTWARE\\wine"));
    EXPECT_EQ(hive.findKey(RegistryHive::Root, u"Software\\Missing"), -1);
    EXPECT_EQ(hive.findKey(RegistryHive::Root, u"Software\\\\Wine"), -1);
}

TEST(RegistryHive, UndoesWineEscapesInKeyNamesValueNamesAndStrings) {
    const RegistryHive hive = RegistryHive::parse(QByteArray(R"([Odd \[name\]\\Sub]
"Quote \"q\" and \\ back"="line\nfeed\rreturn\ttab"
"Hex"="\x263a smile, \xe9t\xe9, \x41BC"
"Octal"="\101\0\7x"
"Unknown escape"="\q\%"
"Raw UTF-8"="été"
"Raw Latin-1"=")") + "\xe9t\xe9\"\n");
    EXPECT_EQ(hive.skippedLines(), 0);
    const int key = hive.findKey(RegistryHive::Root, u"Odd [name]\\Sub");
    ASSERT_GE(key, 0);
    const QList<RegistryValue> &values = hive.values(key);
    ASSERT_EQ(values.size(), 6);
    EXPECT_EQ(values[0].name, QStringLiteral("Quote \"q\" and \\ back"));
    EXPECT_EQ(text(values[0]), QStringLiteral("line\nfeed\rreturn\ttab") + QChar(0));
    // \x takes up to four hex digits: \x41BC is one character.
    EXPECT_EQ(text(values[1]), QString::fromUtf16(u"\u263a smile, \u00e9t\u00e9, \u41bc") + QChar(0));
    EXPECT_EQ(text(values[2]), QString::fromUtf16(u"A\0\ax\0", 5));
    EXPECT_EQ(text(values[3]), QStringLiteral("q%") + QChar(0));
    EXPECT_EQ(text(values[4]), QString::fromUtf16(u"\u00e9t\u00e9\0", 4));
    EXPECT_EQ(text(values[5]), QString::fromUtf16(u"\u00e9t\u00e9\0", 4));
}

TEST(RegistryHive, KeysAndValueNamesIgnoreCaseAndKeepTheOrderOfTheFile) {
    const RegistryHive hive = RegistryHive::parse(QByteArray(R"([Zeta\\B]
[Alpha]
"Name"="first"
"Other"="kept"
[zeta\\a]
[ALPHA]
"NAME"="second"
)"));
    // Subkeys come in the order they first appear, not sorted; a key named
    // again in another case is the same key.
    EXPECT_EQ(subkeyNames(hive, RegistryHive::Root), (QStringList{"Zeta", "Alpha"}));
    EXPECT_EQ(subkeyNames(hive, hive.findKey(RegistryHive::Root, u"ZETA")), (QStringList{"B", "a"}));
    const QList<RegistryValue> &values = hive.values(hive.findKey(RegistryHive::Root, u"alpha"));
    ASSERT_EQ(values.size(), 2);
    EXPECT_EQ(values[0].name, "Name");
    EXPECT_EQ(text(values[0]), QStringLiteral("second") + QChar(0));
    EXPECT_EQ(values[1].name, "Other");
}

TEST(RegistryHive, SkipsMalformedLinesAndKeepsTheRest) {
    const RegistryHive hive = RegistryHive::parse(QByteArray(R"("Orphan"="before any key"
[Good]
"Unterminated"="no closing quote
"NoEquals" "x"
"BadDword"=dword:12345678Z
"LongDword"=dword:123456789
"BadHex"=hex:01,zz
"BadType"=hex(zz):01
"UnknownKind"=float:1.5
garbage line
"Fine"=dword:ffffffff
[Broken\\\\Path]
"Lost"="must not land in Good"
[Unclosed
"AlsoLost"="x"
[Next]
"Bin"=hex:01,\
[After]
"Tail"="ok"
)"));
    const int good = hive.findKey(RegistryHive::Root, u"Good");
    ASSERT_GE(good, 0);
    ASSERT_EQ(hive.values(good).size(), 1);
    EXPECT_EQ(hive.values(good)[0].name, "Fine");
    EXPECT_EQ(hive.values(good)[0].data, QByteArray("\xff\xff\xff\xff"));
    // The hex list broken off by a key header is dropped; the header is not.
    const int next = hive.findKey(RegistryHive::Root, u"Next");
    ASSERT_GE(next, 0);
    EXPECT_TRUE(hive.values(next).isEmpty());
    const int after = hive.findKey(RegistryHive::Root, u"After");
    ASSERT_GE(after, 0);
    ASSERT_EQ(hive.values(after).size(), 1);
    EXPECT_EQ(subkeyNames(hive, RegistryHive::Root), (QStringList{"Good", "Next", "After"}));
    EXPECT_EQ(hive.skippedLines(), 14);
}

TEST(RegistryHive, ATruncatedFileKeepsWhatWasCompleteAndDropsAHalfValue) {
    QByteArray cut = SampleFile.left(SampleFile.indexOf("  30"));
    RegistryHive hive = RegistryHive::parse(cut);
    int version = hive.findKey(RegistryHive::Root,
                               u"Identities\\{5A2F0B61-1C3E-4D7A-9F21-0B3C6A7D8E90}\\Software\\Microsoft\\Outlook Express\\5.0");
    ASSERT_GE(version, 0);
    // The byte list ends in a continuation with no next line: dropped.
    ASSERT_EQ(hive.values(version).size(), 3);
    EXPECT_EQ(hive.values(version)[2].name, "Count");

    cut = SampleFile.left(SampleFile.indexOf("Local Settings"));
    hive = RegistryHive::parse(cut);
    version = hive.findKey(RegistryHive::Root,
                           u"Identities\\{5A2F0B61-1C3E-4D7A-9F21-0B3C6A7D8E90}\\Software\\Microsoft\\Outlook Express\\5.0");
    ASSERT_GE(version, 0);
    ASSERT_EQ(hive.values(version).size(), 1);

    // Every prefix of the file parses, and keys only ever grow with it.
    int previousKeys = 1;
    for (qsizetype length = 0; length <= SampleFile.size(); ++length) {
        const RegistryHive part = RegistryHive::parse(QByteArrayView(SampleFile).first(length));
        EXPECT_GE(part.keyCount(), previousKeys);
        previousKeys = part.keyCount();
    }
    EXPECT_EQ(previousKeys, RegistryHive::parse(SampleFile).keyCount());
}

TEST(RegistryHive, SurvivesRandomDamage) {
    // Flipped, dropped and inserted bytes: the parser must neither crash nor
    // read out of bounds (this is what the sanitizer build checks), and its
    // tree must stay consistent.
    QRandomGenerator random(20261208);
    const char alphabet[] = "[]\\\"@=:,#\n\r\t x0123456789abcdefhexdwordstr()";
    for (int round = 0; round < 3000; ++round) {
        QByteArray damaged = SampleFile;
        const int edits = 1 + random.bounded(8);
        for (int e = 0; e < edits; ++e) {
            const qsizetype at = random.bounded(int(damaged.size()));
            switch (random.bounded(3)) {
            case 0: damaged[at] = alphabet[random.bounded(int(sizeof alphabet - 1))]; break;
            case 1: damaged.remove(at, 1 + random.bounded(5)); break;
            default: damaged.insert(at, char(random.bounded(256))); break;
            }
        }
        const RegistryHive hive = RegistryHive::parse(damaged);
        for (int key = 0; key < hive.keyCount(); ++key) {
            for (int child : hive.subkeys(key))
                ASSERT_TRUE(child > key && child < hive.keyCount());
        }
    }
}

TEST(RegistryHive, LoadReadsAFileAndFailsOnAMissingOne) {
    pw::test::PrefixFixture prefix;
    prefix.writeUserReg("[Identities]\n\"A\"=\"b\"\n");
    const std::optional<RegistryHive> hive = RegistryHive::load(prefix.path("user.reg"));
    ASSERT_TRUE(hive.has_value());
    EXPECT_GE(hive->findKey(RegistryHive::Root, u"identities"), 0);
    EXPECT_FALSE(RegistryHive::load(prefix.path("system.reg")).has_value());
}
