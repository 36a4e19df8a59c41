// What text from outside looks like once made printable: one row per rule, with the bytes a
// hostile or broken peer sends; then every code point and every short byte string, judged by
// Qt's Unicode tables rather than by ours.

#include "text/printable.h"

#include <QString>
#include <QStringDecoder>
#include <QTest>

namespace {

std::string bytesOf(const QByteArray& array)
{
    return std::string(array.constData(), size_t(array.size()));
}

bool isValidUtf8(const std::string& bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom);
    const QString decoded = decoder(QByteArrayView(bytes.data(), qsizetype(bytes.size())));
    return !decoder.hasError();
}

// The characters that must not reach a log line or a message box as they are, by their Unicode
// properties: controls, line and paragraph separators, the explicit bidirectional formatting
// characters, and the three implicit directional marks.
bool mustBeEscaped(char32_t codePoint)
{
    switch (QChar::category(codePoint)) {
    case QChar::Other_Control:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
        return true;
    default:
        break;
    }
    switch (QChar::direction(codePoint)) {
    case QChar::DirLRE:
    case QChar::DirLRO:
    case QChar::DirRLE:
    case QChar::DirRLO:
    case QChar::DirPDF:
    case QChar::DirLRI:
    case QChar::DirRLI:
    case QChar::DirFSI:
    case QChar::DirPDI:
        return true;
    default:
        break;
    }
    return codePoint == 0x200E || codePoint == 0x200F || codePoint == 0x061C;
}

bool holdsControls(const std::string& bytes)
{
    const QString text = QString::fromUtf8(bytes.data(), qsizetype(bytes.size()));
    for (const char32_t codePoint : text.toUcs4()) {
        if (mustBeEscaped(codePoint))
            return true;
    }
    return false;
}

bool comesOutClean(const std::string& bytes)
{
    const std::string result = text::printable(bytes);
    return isValidUtf8(result) && !holdsControls(result) && text::printable(result) == result;
}

// The table of text from outside, the cap in characters, and what must come out.
void printableColumns()
{
    QTest::addColumn<QByteArray>("outside");
    QTest::addColumn<int>("maxChars");
    QTest::addColumn<QByteArray>("expected");
}

void checkPrintable()
{
    QFETCH(QByteArray, outside);
    QFETCH(int, maxChars);
    QFETCH(QByteArray, expected);
    const std::string result = text::printable(bytesOf(outside), size_t(maxChars));
    QCOMPARE(QByteArray::fromStdString(result), expected);
    // Printable text passes through again unchanged.
    QCOMPARE(text::printable(result, size_t(maxChars)), result);
}

} // namespace

class TestPrintable : public QObject
{
    Q_OBJECT
private slots:
    void textIsEscapedAndValidated_data()
    {
        printableColumns();
        // Kept as they are.
        QTest::newRow("plain ASCII")
            << QByteArray("BadTcpServerTooBusy") << 256 << QByteArray("BadTcpServerTooBusy");
        QTest::newRow("UTF-8 of every length")
            << QByteArray("Dreh\xc3\xbc \xe2\x82\xac \xf0\x9d\x84\x9e") << 256
            << QByteArray("Dreh\xc3\xbc \xe2\x82\xac \xf0\x9d\x84\x9e");
        QTest::newRow("backslashes")
            << QByteArray("C:\\new\\x1b") << 256 << QByteArray("C:\\new\\x1b");
        QTest::newRow("no-break space, first after C1")
            << QByteArray("\xc2\xa0") << 256 << QByteArray("\xc2\xa0");
        QTest::newRow("U+0800, lowest three-byte")
            << QByteArray("\xe0\xa0\x80") << 256 << QByteArray("\xe0\xa0\x80");
        QTest::newRow("U+D7FF, last before surrogates")
            << QByteArray("\xed\x9f\xbf") << 256 << QByteArray("\xed\x9f\xbf");
        QTest::newRow("U+10000, lowest four-byte")
            << QByteArray("\xf0\x90\x80\x80") << 256 << QByteArray("\xf0\x90\x80\x80");
        QTest::newRow("U+10FFFF, highest")
            << QByteArray("\xf4\x8f\xbf\xbf") << 256 << QByteArray("\xf4\x8f\xbf\xbf");

        // Controls.
        QTest::newRow("forged log line")
            << QByteArray("busy\nservo.opcua.client: connected to opc.tcp://forged\r") << 256
            << QByteArray("busy\\nservo.opcua.client: connected to opc.tcp://forged\\r");
        QTest::newRow("tab") << QByteArray("a\tb") << 256 << QByteArray("a\\tb");
        QTest::newRow("terminal escape sequences") << QByteArray("\x1b[2J\x1b]0;title\x07") << 256
                                                   << QByteArray("\\x1b[2J\\x1b]0;title\\x07");
        QTest::newRow("NUL") << QByteArray("a\0b", 3) << 256 << QByteArray("a\\x00b");
        QTest::newRow("DEL") << QByteArray("\x7f") << 256 << QByteArray("\\x7f");
        QTest::newRow("C1 next line") << QByteArray("\xc2\x85") << 256 << QByteArray("\\u0085");
        QTest::newRow("C1 CSI, read by 8-bit terminals") << QByteArray("\xc2\x9b"
                                                                       "31m")
                                                         << 256 << QByteArray("\\u009b31m");
        QTest::newRow("right-to-left override") << QByteArray("\xe2\x80\xae"
                                                              "fdp.exe")
                                                << 256 << QByteArray("\\u202efdp.exe");
        QTest::newRow("isolates") << QByteArray("\xe2\x81\xa6x\xe2\x81\xa9") << 256
                                  << QByteArray("\\u2066x\\u2069");
        QTest::newRow("line separator") << QByteArray("a\xe2\x80\xa8"
                                                      "b")
                                        << 256 << QByteArray("a\\u2028b");
        QTest::newRow("right-to-left mark")
            << QByteArray("\xe2\x80\x8f") << 256 << QByteArray("\\u200f");

        // Bytes that are not UTF-8, each shown as the byte it is.
        QTest::newRow("stray continuation byte")
            << QByteArray("a\x80z") << 256 << QByteArray("a\\x80z");
        QTest::newRow("overlong NUL") << QByteArray("\xc0\x80") << 256 << QByteArray("\\xc0\\x80");
        QTest::newRow("overlong slash in three bytes")
            << QByteArray("\xe0\x80\xaf") << 256 << QByteArray("\\xe0\\x80\\xaf");
        QTest::newRow("overlong euro sign in four bytes")
            << QByteArray("\xf0\x82\x82\xac") << 256 << QByteArray("\\xf0\\x82\\x82\\xac");
        QTest::newRow("surrogate")
            << QByteArray("\xed\xa0\x80") << 256 << QByteArray("\\xed\\xa0\\x80");
        QTest::newRow("beyond U+10FFFF")
            << QByteArray("\xf4\x90\x80\x80") << 256 << QByteArray("\\xf4\\x90\\x80\\x80");
        QTest::newRow("bytes never in UTF-8")
            << QByteArray("\xf5\xfe\xff") << 256 << QByteArray("\\xf5\\xfe\\xff");
        QTest::newRow("sequence cut short by the end")
            << QByteArray("ok\xe2\x82") << 256 << QByteArray("ok\\xe2\\x82");
        QTest::newRow("sequence cut short by ASCII") << QByteArray("\xe2\x82"
                                                                   "A")
                                                     << 256 << QByteArray("\\xe2\\x82A");
    }
    void textIsEscapedAndValidated() { checkPrintable(); }

    void textIsCappedInCharacters_data()
    {
        printableColumns();
        // The cap, in characters of the result, the ellipsis included.
        QTest::newRow("fits exactly") << QByteArray("abcd") << 4 << QByteArray("abcd");
        QTest::newRow("one too many") << QByteArray("abcde") << 4 << QByteArray("abc\xe2\x80\xa6");
        QTest::newRow("cap inside a multi-byte character")
            << QByteArray("\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac") << 4
            << QByteArray("\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac\xe2\x80\xa6");
        QTest::newRow("cap inside an escape")
            << QByteArray("ab\ncd") << 4 << QByteArray("ab\xe2\x80\xa6");
        QTest::newRow("room for the ellipsis only")
            << QByteArray("abc") << 1 << QByteArray("\xe2\x80\xa6");
        QTest::newRow("no room at all") << QByteArray("abc") << 0 << QByteArray();
        QTest::newRow("4 KB of escapes")
            << QByteArray(4096, '\x1b') << 256
            << QByteArray("\\x1b").repeated(63) + QByteArray("\xe2\x80\xa6");
    }
    void textIsCappedInCharacters() { checkPrintable(); }

    void everyCodePointIsKeptUnlessItMustBeEscaped()
    {
        for (char32_t codePoint = 0; codePoint <= 0x10FFFF; ++codePoint) {
            if (codePoint >= 0xD800 && codePoint <= 0xDFFF)
                continue;
            const QByteArray utf8 = QString::fromUcs4(&codePoint, 1).toUtf8();
            const std::string result = text::printable(bytesOf(utf8));
            const bool escaped = result.size() >= 2 && result[0] == '\\';
            if (escaped != mustBeEscaped(codePoint) || (!escaped && result != bytesOf(utf8)))
                QFAIL(qPrintable(QStringLiteral("U+%1 became \"%2\"")
                                     .arg(uint(codePoint), 4, 16, QLatin1Char('0'))
                                     .arg(QString::fromStdString(result))));
        }
    }

    void everyShortByteStringComesOutValidAndWithoutControls()
    {
        // Every string of one and two bytes, and of three bytes with a lead byte of a three- or
        // four-byte sequence: every kind of broken sequence shows up among them.
        std::string bytes;
        for (int first = 0; first < 256; ++first) {
            for (int second = -1; second < 256; ++second) {
                bytes.assign(1, char(first));
                if (second >= 0)
                    bytes += char(second);
                if (!comesOutClean(bytes))
                    QFAIL(qPrintable(QByteArray::fromStdString(bytes).toHex(' ')));
                if (first < 0xE0 || first > 0xF4 || second < 0)
                    continue;
                for (int third = 0; third < 256; ++third) {
                    bytes.resize(2);
                    bytes += char(third);
                    if (!comesOutClean(bytes))
                        QFAIL(qPrintable(QByteArray::fromStdString(bytes).toHex(' ')));
                }
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestPrintable)
#include "tst_printable.moc"
