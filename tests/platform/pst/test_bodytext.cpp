// Text of HTML and RTF bodies, which the search reads when a message has
// no plain body.
#include "platform/pst/bodytext.h"
#include "platform/pst/messageproperties.h"

#include <gtest/gtest.h>

using namespace pw::pst;

TEST(BodyText, HtmlDropsTagsHiddenPartsAndDecodesEntities) {
    const QString html = QStringLiteral(
        "<html><head><title>T</title><style>p{color:red}</style></head><body>"
        "<p>Fish&nbsp;&amp;&#32;chips &lt;3</p><!-- hidden --><script>var x='<p>';</script>"
        "<div>caf&eacute; &#x263A; &bogus; a&b</div>line<br>next</body></html>");
    EXPECT_EQ(htmlToText(html), QStringLiteral("Fish & chips <3\r\ncaf\u00e9 \u263a &bogus; a&b\r\nline\r\nnext"));
}

TEST(BodyText, HtmlBytesHonourUtf8DeclaredCharsetAndCodePage) {
    EXPECT_EQ(htmlToText(QByteArray("<p>caf\xc3\xa9</p>"), 1252), QStringLiteral("caf\u00e9"));
    EXPECT_EQ(htmlToText(QByteArray("<p>caf\xe9</p>"), 1252), QStringLiteral("caf\u00e9"));
    EXPECT_EQ(htmlToText(QByteArray("<meta charset=\"koi8-r\"><p>\xf0\xd2\xc9</p>"), 1252), QStringLiteral("\u041f\u0440\u0438"));
}

TEST(BodyText, RtfKeepsTextAndDropsControlWordsAndDestinations) {
    const QByteArray rtf =
        "{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl{\\f0 Arial;}}{\\colortbl;\\red0\\green0\\blue0;}"
        "{\\*\\generator Riched20;}\\pard Caf\\'e9 \\{ok\\}\\par "
        "Smile \\u9786?!\\uc2\\u9731xxDone\\tab end}";
    EXPECT_EQ(rtfToText(rtf, 1252), QStringLiteral("Caf\u00e9 {ok}\r\nSmile \u263a!\u2603Done\tend"));
}

TEST(BodyText, RtfFromHtmlShowsOnlyTheText) {
    const QByteArray rtf =
        "{\\rtf1\\ansi\\ansicpg1251\\fromhtml1 {\\*\\htmltag19 <html>}{\\*\\htmltag2 \\par }"
        "\\htmlrtf {\\htmlrtf0 \\'cf\\'f0\\'e8\\'e2\\'e5\\'f2\\htmlrtf }\\htmlrtf0 {\\*\\htmltag4 \\par }}";
    EXPECT_EQ(rtfToText(rtf, 1252), QStringLiteral("\u041f\u0440\u0438\u0432\u0435\u0442"));
}

TEST(BodyText, DamagedInputEndsCleanly) {
    EXPECT_EQ(htmlToText(QStringLiteral("text <b unterminated")), QStringLiteral("text"));
    EXPECT_EQ(rtfToText(QByteArray("{\\rtf1 a}}}}{{{\\'"), 1252), QStringLiteral("a"));
    EXPECT_EQ(rtfToText(QByteArray("\\bin99999999 x"), 1252), QString());
    EXPECT_EQ(rtfToText(QByteArray("{\\u99999999999 z}"), 1252), QStringLiteral("\ufffd"));
}

// Compressed RTF as [MS-OXRTFCP] gives it in its first example, and the
// same stored without compression ("MELA").
TEST(PstRtf, CompressedAndStoredRtfDecode) {
    const QByteArray compressed = QByteArray::fromHex(
        "2d0000002b0000004c5a4675f1c5c7a703000a0072637067313235423" "20af32068656c090020627705b06c647d0a800fa0");
    EXPECT_EQ(pw::pst::decompressRtf(compressed), QByteArray("{\\rtf1\\ansi\\ansicpg1252\\pard hello world}\r\n"));
    QByteArray stored = QByteArray::fromHex("1000000004000000" "4d454c4100000000") + QByteArray("{\\rtf1}");
    stored[4] = 7;
    EXPECT_EQ(pw::pst::decompressRtf(stored), QByteArray("{\\rtf1}"));
    EXPECT_EQ(pw::pst::decompressRtf(QByteArray("short")), std::nullopt);
}
