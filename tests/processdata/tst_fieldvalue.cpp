#include "processdata/failure.h"
#include "processdata/fieldvalue.h"

#include <QTest>
#include <limits>

using namespace servo;

Q_DECLARE_METATYPE(servo::FieldValue)

namespace {

// -1 stands for "raises no failure".
constexpr int kNoFailure = -1;

int failureNumber(FailureCode code)
{
    return failureInfo(code).number;
}

} // namespace

class FieldValueTest : public QObject
{
    Q_OBJECT

private slots:
    void toInt32_data()
    {
        QTest::addColumn<FieldValue>("value");
        QTest::addColumn<bool>("isNull");
        QTest::addColumn<qint32>("expected");
        QTest::addColumn<int>("failure");

        const int overflow = failureNumber(FailureCode::Overflow);
        const int mismatch = failureNumber(FailureCode::TypeMismatch);
        const double inf = std::numeric_limits<double>::infinity();

        QTest::newRow("int16 unchanged")
            << FieldValue(std::int16_t(1151)) << false << 1151 << kNoFailure;
        QTest::newRow("int16 -1 keeps all bits")
            << FieldValue(std::int16_t(-1)) << false << -1 << kNoFailure;
        QTest::newRow("int32 minimum")
            << FieldValue(std::numeric_limits<std::int32_t>::min()) << false
            << std::numeric_limits<std::int32_t>::min() << kNoFailure;
        QTest::newRow("empty is 0") << FieldValue() << false << 0 << kNoFailure;
        QTest::newRow("null stays null") << FieldValue::null() << true << 0 << kNoFailure;
        QTest::newRow("true is -1") << FieldValue(true) << false << -1 << kNoFailure;
        QTest::newRow("false is 0") << FieldValue(false) << false << 0 << kNoFailure;
        QTest::newRow("2.5 to even 2") << FieldValue(2.5) << false << 2 << kNoFailure;
        QTest::newRow("3.5 to even 4") << FieldValue(3.5) << false << 4 << kNoFailure;
        QTest::newRow("-2.5 to even -2") << FieldValue(-2.5) << false << -2 << kNoFailure;
        QTest::newRow("2.6 to nearest 3") << FieldValue(2.6) << false << 3 << kNoFailure;
        QTest::newRow("-0.4 to 0") << FieldValue(-0.4) << false << 0 << kNoFailure;
        QTest::newRow("float 1151.0") << FieldValue(1151.0f) << false << 1151 << kNoFailure;
        QTest::newRow("float 0.5 to 0") << FieldValue(0.5f) << false << 0 << kNoFailure;
        QTest::newRow("largest that rounds in range")
            << FieldValue(2147483647.4) << false << 2147483647 << kNoFailure;
        QTest::newRow("rounds past the top") << FieldValue(2147483647.5) << false << 0 << overflow;
        QTest::newRow("below the bottom") << FieldValue(-2147483649.0) << false << 0 << overflow;
        QTest::newRow("bottom half rounds in")
            << FieldValue(-2147483648.5) << false << std::numeric_limits<std::int32_t>::min()
            << kNoFailure;
        QTest::newRow("1e10") << FieldValue(1e10) << false << 0 << overflow;
        QTest::newRow("NaN") << FieldValue(std::nan("")) << false << 0 << overflow;
        QTest::newRow("infinity") << FieldValue(inf) << false << 0 << overflow;
        QTest::newRow("float infinity") << FieldValue(float(inf)) << false << 0 << overflow;
        QTest::newRow("text integer") << FieldValue("1151") << false << 1151 << kNoFailure;
        QTest::newRow("text 2.5 rounds like a number")
            << FieldValue("2.5") << false << 2 << kNoFailure;
        QTest::newRow("text out of range") << FieldValue("3000000000") << false << 0 << overflow;
        QTest::newRow("text not a number") << FieldValue("abc") << false << 0 << mismatch;
        QTest::newRow("empty text") << FieldValue("") << false << 0 << mismatch;
    }

    void toInt32()
    {
        QFETCH(FieldValue, value);
        QFETCH(bool, isNull);
        QFETCH(qint32, expected);
        QFETCH(int, failure);

        try {
            const auto result = toInt32ForAnd(value);
            QCOMPARE(failure, kNoFailure);
            QCOMPARE(!result.has_value(), isNull);
            if (result)
                QCOMPARE(*result, expected);
        } catch (const Failure& f) {
            QCOMPARE(f.number(), failure);
            QVERIFY(!f.description().empty());
        }
    }

    // A text that is no number is shown in the failure escaped, on one line, and cut short.
    void textInAFailureIsPrintableAndShort()
    {
        try {
            toInt32ForAnd(FieldValue("1\n\x1b[31m" + std::string(1 << 20, 'x')));
            QFAIL("no failure");
        } catch (const Failure& f) {
            QCOMPARE(QByteArray::fromStdString(f.description()),
                     "Type mismatch: \"1\\n\\x1b[31m" + QByteArray(52, 'x') +
                         "\xe2\x80\xa6\" does not read as a number");
        }
    }

    void equality_data()
    {
        QTest::addColumn<FieldValue>("value");
        QTest::addColumn<qint32>("constant");
        QTest::addColumn<bool>("equal");
        QTest::addColumn<int>("failure");

        const int mismatch = failureNumber(FailureCode::TypeMismatch);

        QTest::newRow("int16 equal")
            << FieldValue(std::int16_t(1151)) << 1151 << true << kNoFailure;
        QTest::newRow("int16 other")
            << FieldValue(std::int16_t(1150)) << 1151 << false << kNoFailure;
        QTest::newRow("int32 equal")
            << FieldValue(std::int32_t(1151)) << 1151 << true << kNoFailure;
        QTest::newRow("double exact") << FieldValue(1151.0) << 1151 << true << kNoFailure;
        QTest::newRow("double not rounded") << FieldValue(1151.4) << 1151 << false << kNoFailure;
        QTest::newRow("float exact") << FieldValue(1151.0f) << 1151 << true << kNoFailure;
        QTest::newRow("empty equals 0") << FieldValue() << 0 << true << kNoFailure;
        QTest::newRow("empty is not 1151") << FieldValue() << 1151 << false << kNoFailure;
        QTest::newRow("null never equal, even to 0")
            << FieldValue::null() << 0 << false << kNoFailure;
        QTest::newRow("true equals -1") << FieldValue(true) << -1 << true << kNoFailure;
        QTest::newRow("false equals 0") << FieldValue(false) << 0 << true << kNoFailure;
        QTest::newRow("text number") << FieldValue("1151") << 1151 << true << kNoFailure;
        QTest::newRow("text with fraction") << FieldValue("1151.0") << 1151 << true << kNoFailure;
        QTest::newRow("NaN never equal") << FieldValue(std::nan("")) << 0 << false << kNoFailure;
        QTest::newRow("text not a number") << FieldValue("run") << 1151 << false << mismatch;
    }

    void equality()
    {
        QFETCH(FieldValue, value);
        QFETCH(qint32, constant);
        QFETCH(bool, equal);
        QFETCH(int, failure);

        try {
            QCOMPARE(equalsInteger(value, constant), equal);
            QCOMPARE(failure, kNoFailure);
        } catch (const Failure& f) {
            QCOMPARE(f.number(), failure);
        }
    }

    void textSyntax_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("readsAsNumber");
        QTest::addColumn<double>("number");

        QTest::newRow("digits") << "42" << true << 42.0;
        QTest::newRow("plus sign") << "+42" << true << 42.0;
        QTest::newRow("leading point") << ".5" << true << 0.5;
        QTest::newRow("trailing point") << "5." << true << 5.0;
        QTest::newRow("exponent with sign") << "-1e-2" << true << -0.01;
        QTest::newRow("surrounding blanks") << "  7\t" << true << 7.0;
        QTest::newRow("comma decimal") << "1,5" << false << 0.0;
        QTest::newRow("sign alone") << "-" << false << 0.0;
        QTest::newRow("point alone") << "." << false << 0.0;
        QTest::newRow("exponent without digits") << "1e" << false << 0.0;
        QTest::newRow("inner blank") << "1 2" << false << 0.0;
        QTest::newRow("double sign") << "+-1" << false << 0.0;
        QTest::newRow("hexadecimal") << "0x10" << false << 0.0;
        QTest::newRow("infinity word") << "inf" << false << 0.0;
        QTest::newRow("nan word") << "nan" << false << 0.0;
        QTest::newRow("beyond double range") << "1e400" << false << 0.0;
        QTest::newRow("blanks only") << "   " << false << 0.0;
    }

    void textSyntax()
    {
        QFETCH(QString, text);
        QFETCH(bool, readsAsNumber);
        QFETCH(double, number);

        const auto result = readNumber(text.toStdString());
        QCOMPARE(result.has_value(), readsAsNumber);
        if (result)
            QCOMPARE(*result, number);
    }

    void failureNumbersAreDistinct()
    {
        QSet<int> seen;
        for (int code = 0; code <= int(FailureCode::Unexpected); ++code) {
            const FailureInfo& info = failureInfo(FailureCode(code));
            QCOMPARE(int(info.code), code);
            QVERIFY2(!seen.contains(info.number), qPrintable(QString::number(info.number)));
            seen.insert(info.number);
            QVERIFY(!info.description.empty());
        }
    }
};

QTEST_GUILESS_MAIN(FieldValueTest)
#include "tst_fieldvalue.moc"
