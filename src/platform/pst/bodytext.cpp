#include "platform/pst/bodytext.h"

#include "core/codepage.h"

#include <QHash>
#include <QRegularExpression>
#include <QStringDecoder>

#include <vector>

namespace pw::pst {

namespace {

const QHash<QString, char32_t> &namedEntities() {
    static const QHash<QString, char32_t> table = {
        {QStringLiteral("amp"), U'&'},      {QStringLiteral("lt"), U'<'},       {QStringLiteral("gt"), U'>'},
        {QStringLiteral("quot"), U'"'},     {QStringLiteral("apos"), U'\''},    {QStringLiteral("nbsp"), U' '},
        {QStringLiteral("copy"), 0xA9},     {QStringLiteral("reg"), 0xAE},      {QStringLiteral("trade"), 0x2122},
        {QStringLiteral("hellip"), 0x2026}, {QStringLiteral("mdash"), 0x2014},  {QStringLiteral("ndash"), 0x2013},
        {QStringLiteral("lsquo"), 0x2018},  {QStringLiteral("rsquo"), 0x2019},  {QStringLiteral("ldquo"), 0x201C},
        {QStringLiteral("rdquo"), 0x201D},  {QStringLiteral("bull"), 0x2022},   {QStringLiteral("euro"), 0x20AC},
        {QStringLiteral("pound"), 0xA3},    {QStringLiteral("yen"), 0xA5},      {QStringLiteral("cent"), 0xA2},
        {QStringLiteral("sect"), 0xA7},     {QStringLiteral("deg"), 0xB0},      {QStringLiteral("plusmn"), 0xB1},
        {QStringLiteral("times"), 0xD7},    {QStringLiteral("divide"), 0xF7},   {QStringLiteral("middot"), 0xB7},
        {QStringLiteral("laquo"), 0xAB},    {QStringLiteral("raquo"), 0xBB},    {QStringLiteral("shy"), 0xAD},
        {QStringLiteral("auml"), 0xE4},     {QStringLiteral("ouml"), 0xF6},     {QStringLiteral("uuml"), 0xFC},
        {QStringLiteral("Auml"), 0xC4},     {QStringLiteral("Ouml"), 0xD6},     {QStringLiteral("Uuml"), 0xDC},
        {QStringLiteral("szlig"), 0xDF},    {QStringLiteral("eacute"), 0xE9},   {QStringLiteral("egrave"), 0xE8},
        {QStringLiteral("ecirc"), 0xEA},    {QStringLiteral("agrave"), 0xE0},   {QStringLiteral("aacute"), 0xE1},
        {QStringLiteral("acirc"), 0xE2},    {QStringLiteral("ccedil"), 0xE7},   {QStringLiteral("iacute"), 0xED},
        {QStringLiteral("oacute"), 0xF3},   {QStringLiteral("uacute"), 0xFA},   {QStringLiteral("ntilde"), 0xF1},
        {QStringLiteral("Eacute"), 0xC9},   {QStringLiteral("aring"), 0xE5},    {QStringLiteral("oslash"), 0xF8},
    };
    return table;
}

void appendCodePoint(QString &out, char32_t cp) {
    if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        cp = 0xFFFD;
    out.append(QString::fromUcs4(&cp, 1));
}

bool isBlockTag(QStringView name) {
    static const char *const blocks[] = {"br", "p", "div", "tr", "li", "h1", "h2", "h3", "h4", "h5", "h6",
                                         "table", "ul", "ol", "blockquote", "pre", "hr", "dt", "dd"};
    for (const char *block : blocks) {
        if (name.compare(QLatin1String(block), Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

bool isHiddenTag(QStringView name) {
    return name.compare(QLatin1String("script"), Qt::CaseInsensitive) == 0
        || name.compare(QLatin1String("style"), Qt::CaseInsensitive) == 0
        || name.compare(QLatin1String("head"), Qt::CaseInsensitive) == 0
        || name.compare(QLatin1String("title"), Qt::CaseInsensitive) == 0;
}

} // namespace

QString htmlToText(const QString &html) {
    QString out;
    out.reserve(html.size() / 2);
    bool pendingSpace = false;
    auto newline = [&] {
        while (out.endsWith(QLatin1Char(' ')))
            out.chop(1);
        if (!out.endsWith(QLatin1Char('\n')))
            out.append(QLatin1String("\r\n"));
        pendingSpace = false;
    };
    const qsizetype n = html.size();
    qsizetype i = 0;
    while (i < n) {
        const QChar c = html.at(i);
        if (c == QLatin1Char('<')) {
            if (html.mid(i, 4) == QLatin1String("<!--")) {
                const qsizetype end = html.indexOf(QLatin1String("-->"), i + 4);
                i = end < 0 ? n : end + 3;
                continue;
            }
            const qsizetype end = html.indexOf(QLatin1Char('>'), i + 1);
            if (end < 0)
                break; // an unterminated tag ends the text
            QStringView tag = QStringView(html).mid(i + 1, end - i - 1).trimmed();
            const bool closing = tag.startsWith(QLatin1Char('/'));
            if (closing)
                tag = tag.mid(1);
            qsizetype nameEnd = 0;
            while (nameEnd < tag.size() && (tag.at(nameEnd).isLetterOrNumber()))
                ++nameEnd;
            const QStringView name = tag.left(nameEnd);
            i = end + 1;
            if (!closing && isHiddenTag(name) && !tag.endsWith(QLatin1Char('/'))) {
                const QRegularExpression close(QStringLiteral("</\\s*%1\\s*>").arg(name.toString()),
                                               QRegularExpression::CaseInsensitiveOption);
                const auto match = close.match(html, i);
                i = match.hasMatch() ? match.capturedEnd() : n;
                continue;
            }
            if (isBlockTag(name) && !out.isEmpty())
                newline();
            else if (name.compare(QLatin1String("td"), Qt::CaseInsensitive) == 0 && !closing)
                pendingSpace = !out.isEmpty();
            continue;
        }
        if (c.isSpace()) {
            pendingSpace = !out.isEmpty() && !out.endsWith(QLatin1Char('\n'));
            ++i;
            continue;
        }
        if (pendingSpace) {
            out.append(QLatin1Char(' '));
            pendingSpace = false;
        }
        if (c == QLatin1Char('&')) {
            const qsizetype semi = html.indexOf(QLatin1Char(';'), i + 1);
            if (semi > i + 1 && semi - i <= 10) {
                const QString entity = html.mid(i + 1, semi - i - 1);
                bool ok = false;
                char32_t cp = 0;
                if (entity.startsWith(QLatin1String("#x")) || entity.startsWith(QLatin1String("#X")))
                    cp = entity.mid(2).toUInt(&ok, 16);
                else if (entity.startsWith(QLatin1Char('#')))
                    cp = entity.mid(1).toUInt(&ok, 10);
                else if (auto it = namedEntities().constFind(entity); it != namedEntities().constEnd()) {
                    cp = *it;
                    ok = true;
                }
                if (ok) {
                    appendCodePoint(out, cp);
                    i = semi + 1;
                    continue;
                }
            }
        }
        out.append(c);
        ++i;
    }
    while (out.endsWith(QLatin1Char(' ')) || out.endsWith(QLatin1Char('\n')) || out.endsWith(QLatin1Char('\r')))
        out.chop(1);
    return out;
}

QString decodeHtml(const QByteArray &html, int codepage) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8(html);
    if (!utf8.hasError())
        return text;
    static const QRegularExpression charset(QStringLiteral("charset\\s*=\\s*[\"']?([A-Za-z0-9_.:-]+)"),
                                            QRegularExpression::CaseInsensitiveOption);
    const auto match = charset.match(QString::fromLatin1(html.left(4096)));
    if (match.hasMatch()) {
        const QString name = match.captured(1).toLower();
        if (name.startsWith(QLatin1String("windows-")))
            return decodeCodepage(html, name.mid(8).toInt());
        if (name == QLatin1String("iso-8859-1") || name == QLatin1String("us-ascii"))
            return decodeCodepage(html, 1252); // what mailers mean by it
        if (name.startsWith(QLatin1String("iso-8859-")))
            return decodeCodepage(html, 28590 + name.mid(9).toInt());
        if (name == QLatin1String("shift_jis"))
            return decodeCodepage(html, 932);
        if (name == QLatin1String("koi8-r"))
            return decodeCodepage(html, 20866);
        if (name == QLatin1String("gb2312") || name == QLatin1String("gbk"))
            return decodeCodepage(html, 936);
        if (name == QLatin1String("big5"))
            return decodeCodepage(html, 950);
    }
    return decodeCodepage(html, codepage);
}

QString htmlToText(const QByteArray &html, int codepage) {
    return htmlToText(decodeHtml(html, codepage));
}

QString rtfToText(const QByteArray &rtf, int codepage) {
    struct State {
        bool skip = false;
        bool htmlrtf = false;
        int ucSkip = 1;
    };
    std::vector<State> stack{State{}};
    QString out;
    QByteArray pending; // 8-bit text waiting for its code page
    auto flush = [&] {
        if (!pending.isEmpty()) {
            out.append(decodeCodepage(pending, codepage));
            pending.clear();
        }
    };
    auto emitting = [&] { return !stack.back().skip && !stack.back().htmlrtf; };
    int skipChars = 0; // fallback characters after \uN

    static const char *const ignored[] = {"fonttbl", "colortbl", "stylesheet", "info", "pict", "object",
                                          "header", "footer", "headerl", "headerr", "headerf", "footerl",
                                          "footerr", "footerf", "footnote", "fldinst", "themedata",
                                          "colorschememapping", "datastore", "latentstyles", "listtable",
                                          "listoverridetable", "rsidtbl", "generator", "xmlnstbl", "filetbl",
                                          "revtbl", "pgdsctbl", "mmathPr", "operator", "company", "author",
                                          "title", "subject", "keywords", "comment", "doccomm"};

    const qsizetype n = rtf.size();
    qsizetype i = 0;
    while (i < n) {
        const char c = rtf.at(i);
        if (c == '{') {
            stack.push_back(stack.back());
            ++i;
            if (i + 1 < n && rtf.at(i) == '\\' && rtf.at(i + 1) == '*')
                stack.back().skip = true;
            continue;
        }
        if (c == '}') {
            if (stack.size() > 1)
                stack.pop_back();
            ++i;
            continue;
        }
        if (c == '\r' || c == '\n') {
            ++i;
            continue;
        }
        if (c != '\\') {
            if (skipChars > 0)
                --skipChars;
            else if (emitting())
                pending.append(c);
            ++i;
            continue;
        }
        // A control symbol or control word.
        ++i;
        if (i >= n)
            break;
        const char s = rtf.at(i);
        if (s == '\'') {
            bool ok = false;
            const int byte = rtf.mid(i + 1, 2).toInt(&ok, 16);
            i += 3;
            if (skipChars > 0)
                --skipChars;
            else if (ok && emitting())
                pending.append(static_cast<char>(byte));
            continue;
        }
        if (s == '\\' || s == '{' || s == '}') {
            if (skipChars > 0)
                --skipChars;
            else if (emitting())
                pending.append(s);
            ++i;
            continue;
        }
        if (s == '~' || s == '_' || s == '\r' || s == '\n') {
            if (emitting()) {
                flush();
                out.append(s == '~' ? QStringLiteral(" ") : s == '_' ? QStringLiteral("-") : QStringLiteral("\r\n"));
            }
            ++i;
            continue;
        }
        if (!((s >= 'a' && s <= 'z') || (s >= 'A' && s <= 'Z'))) {
            ++i; // other symbols (\*, \-, \|, \:) carry no text
            continue;
        }
        qsizetype start = i;
        while (i < n && ((rtf.at(i) >= 'a' && rtf.at(i) <= 'z') || (rtf.at(i) >= 'A' && rtf.at(i) <= 'Z')))
            ++i;
        const QByteArray word = rtf.mid(start, i - start);
        bool hasParam = false;
        long param = 0;
        start = i;
        if (i < n && (rtf.at(i) == '-' || (rtf.at(i) >= '0' && rtf.at(i) <= '9'))) {
            ++i;
            while (i < n && rtf.at(i) >= '0' && rtf.at(i) <= '9')
                ++i;
            // Overlong numbers are clamped rather than trusted.
            param = rtf.mid(start, qMin<qsizetype>(i - start, 10)).toLong(&hasParam);
        }
        if (i < n && rtf.at(i) == ' ')
            ++i; // the delimiting space belongs to the control word

        if (word == "par" || word == "line" || word == "row") {
            if (emitting()) {
                flush();
                out.append(QLatin1String("\r\n"));
            }
        } else if (word == "tab" || word == "cell") {
            if (emitting()) {
                flush();
                out.append(QLatin1Char('\t'));
            }
        } else if (word == "u" && hasParam) {
            if (emitting()) {
                flush();
                appendCodePoint(out, static_cast<char32_t>(param < 0 ? param + 65536 : param));
            }
            skipChars = stack.back().ucSkip;
        } else if (word == "uc" && hasParam) {
            stack.back().ucSkip = static_cast<int>(qBound(0L, param, 10L));
        } else if (word == "ansicpg" && hasParam) {
            flush();
            codepage = static_cast<int>(param);
        } else if (word == "htmlrtf") {
            flush();
            stack.back().htmlrtf = !(hasParam && param == 0);
        } else if (word == "bin" && hasParam) {
            i += qBound(0L, param, static_cast<long>(n - i));
        } else {
            for (const char *name : ignored) {
                if (word == name) {
                    stack.back().skip = true;
                    break;
                }
            }
        }
    }
    flush();
    while (out.endsWith(QLatin1Char('\n')) || out.endsWith(QLatin1Char('\r')) || out.endsWith(QLatin1Char(' ')))
        out.chop(1);
    return out;
}

} // namespace pw::pst
