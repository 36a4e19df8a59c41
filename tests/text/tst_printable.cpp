// What text from outside looks like once made printable: one row per rule, with the bytes a
// hostile or broken peer sends; then every code point and every short byte string, judged by
// Qt's Unicode tables rather than by ours.

#include "text/printable.h"

#include <QString>
#include <QStringDecoder>
#include <QTest>
#include <algorithm>

namespace {

// The characters that must not reach a log line or a message box as they are, by their Unicode
// properties: controls, line and paragraph separators, the explicit bidirectional formatting
// characters, and the three implicit directional marks.
bool mustBeEscaped(char32_t codePoint)
{
    constexpr QChar::Category kCategories[] = {QChar::Other_Control, QChar::Separator_Line,
                                               QChar::Separator_Paragraph};
    constexpr QChar::Direction kDirections[] = {QChar::DirLRE, QChar::DirLRO, QChar::DirRLE,
                                                QChar::DirRLO, QChar::DirPDF, QChar::DirLRI,
                                                QChar::DirRLI, QChar::DirFSI, QChar::DirPDI};
    return std::ranges::count(kCategories, QChar::category(codePoint)) > 0 ||
           std::ranges::count(kDirections, QChar::direction(codePoint)) > 0 ||
           codePoint == 0x200E || codePoint == 0x200F || codePoint == 0x061C;
}

// Valid UTF-8 in which nothing is left that must be escaped, and that stays as it is when it is
// made printable again.
bool comesOutClean(const std::string& bytes)
{
    const std::string result = text::printable(bytes);
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom);
    const QString decoded = decoder(QByteArrayView(result.data(), qsizetype(result.size())));
    return !decoder.hasError() && std::ranges::none_of(decoded.toUcs4(), mustBeEscaped) &&
           text::printable(result) == result;
}

// A row of text from outside and what must come out, capped at maxChars characters.
void addRow(const char* name, const QByteArray& outside, const QByteArray& expected,
            int maxChars = 256)
{
    QTest::newRow(name) << outside << maxChars << expected;
}

} // namespace

class TestPrintable : public QObject
{
    Q_OBJECT
private slots:
    void textIsEscapedValidatedAndCapped_data()
    {
        QTest::addColumn<QByteArray>("outside");
        QTest::addColumn<int>("maxChars");
        QTest::addColumn<QByteArray>("expected");
        // Kept as they are; each single code point is checked below.
        addRow("UTF-8 of every length", "Dreh\xc3\xbc \xe2\x82\xac \xf0\x9d\x84\x9e",
               "Dreh\xc3\xbc \xe2\x82\xac \xf0\x9d\x84\x9e");
        addRow("backslashes", "C:\\new\\x1b", "C:\\new\\x1b");

        // Controls, in the form of escape that fits them.
        addRow("forged log line", "busy\nservo.opcua.client: connected to opc.tcp://forged\r",
               "busy\\nservo.opcua.client: connected to opc.tcp://forged\\r");
        addRow("tab", "a\tb", "a\\tb");
        addRow("terminal escape sequences", "\x1b[2J\x1b]0;title\x07",
               "\\x1b[2J\\x1b]0;title\\x07");
        addRow("NUL", QByteArray("a\0b", 3), "a\\x00b");
        addRow("DEL", "\x7f", "\\x7f");
        addRow("C1 CSI, read by 8-bit terminals", QByteArray("\xc2\x9b") + "31m", "\\u009b31m");
        addRow("right-to-left override", QByteArray("\xe2\x80\xae") + "fdp.exe", "\\u202efdp.exe");

        // Bytes that are not UTF-8, each shown as the byte it is.
        addRow("stray continuation byte", "a\x80z", "a\\x80z");
        addRow("overlong NUL", "\xc0\x80", "\\xc0\\x80");
        addRow("overlong slash in three bytes", "\xe0\x80\xaf", "\\xe0\\x80\\xaf");
        addRow("overlong euro sign in four bytes", "\xf0\x82\x82\xac", "\\xf0\\x82\\x82\\xac");
        addRow("surrogate", "\xed\xa0\x80", "\\xed\\xa0\\x80");
        addRow("beyond U+10FFFF", "\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80");
        addRow("bytes never in UTF-8", "\xf5\xfe\xff", "\\xf5\\xfe\\xff");
        addRow("sequence cut short by the end", "ok\xe2\x82", "ok\\xe2\\x82");
        addRow("sequence cut short by ASCII", QByteArray("\xe2\x82") + "A", "\\xe2\\x82A");

        // The cap, in characters of the result, the ellipsis included.
        addRow("fits exactly", "abcd", "abcd", 4);
        addRow("one too many", "abcde", "abc\xe2\x80\xa6", 4);
        addRow("cap inside a multi-byte character",
               "\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac",
               "\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac\xe2\x80\xa6", 4);
        addRow("cap inside an escape", "ab\ncd", "ab\xe2\x80\xa6", 4);
        addRow("room for the ellipsis only", "abc", "\xe2\x80\xa6", 1);
        addRow("no room at all", "abc", QByteArray(), 0);
        addRow("4 KB of escapes", QByteArray(4096, '\x1b'),
               QByteArray("\\x1b").repeated(63) + QByteArray("\xe2\x80\xa6"));
    }
    void textIsEscapedValidatedAndCapped()
    {
        QFETCH(QByteArray, outside);
        QFETCH(int, maxChars);
        QFETCH(QByteArray, expected);
        const std::string result = text::printable(outside.toStdString(), size_t(maxChars));
        QCOMPARE(QByteArray::fromStdString(result), expected);
        // Printable text passes through again unchanged.
        QCOMPARE(text::printable(result, size_t(maxChars)), result);
    }

    void everyCodePointIsKeptUnlessItMustBeEscaped()
    {
        for (char32_t codePoint = 0; codePoint <= 0x10FFFF; ++codePoint) {
            if (codePoint >= 0xD800 && codePoint <= 0xDFFF)
                continue;
            const QByteArray utf8 = QString::fromUcs4(&codePoint, 1).toUtf8();
            const std::string result = text::printable(utf8.toStdString());
            const bool escaped = result.size() >= 2 && result[0] == '\\';
            if (escaped != mustBeEscaped(codePoint) || (!escaped && result != utf8.toStdString()))
                QFAIL(qPrintable(QStringLiteral("U+%1 became \"%2\"")
                                     .arg(uint(codePoint), 4, 16, QLatin1Char('0'))
                                     .arg(QString::fromStdString(result))));
        }
    }

    void everyShortByteStringComesOutValidAndWithoutControls()
    {
        // Every string of one and two bytes, and of three bytes with a lead byte of a three- or
        // four-byte sequence: every kind of broken sequence shows up among them. A byte of -1
        // stands for none.
        for (int first = 0; first < 256; ++first) {
            for (int second = -1; second < 256; ++second) {
                const bool longLead = second >= 0 && first >= 0xE0 && first <= 0xF4;
                for (int third = -1; third < (longLead ? 256 : 0); ++third) {
                    std::string bytes(1, char(first));
                    for (const int next : {second, third})
                        if (next >= 0)
                            bytes += char(next);
                    if (!comesOutClean(bytes))
                        QFAIL(qPrintable(QByteArray::fromStdString(bytes).toHex(' ')));
                }
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestPrintable)
#include "tst_printable.moc"
