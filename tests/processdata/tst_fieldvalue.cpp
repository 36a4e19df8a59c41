#include "processdata/fieldvalue.h"
#include "tests/support/failureof.h"

#include <QTest>
#include <limits>

using namespace servo;
using servo::test::failureOf;

Q_DECLARE_METATYPE(servo::FieldValue)

namespace {

// What a call gives, as a row states it: its result as text, or the number of the failure it
// raises ("failure 1040").
template <class F> QString outcome(F f)
{
    try {
        return f();
    } catch (const Failure& failure) {
        return QStringLiteral("failure %1").arg(failure.number());
    }
}

QString failed(FailureCode code)
{
    return QStringLiteral("failure %1").arg(failureInfo(code).number);
}

} // namespace

class FieldValueTest : public QObject
{
    Q_OBJECT

private slots:
    void toInt32_data()
    {
        QTest::addColumn<FieldValue>("value");
        QTest::addColumn<QString>("expected"); // the number, "null" or the failure

        const QString overflow = failed(FailureCode::Overflow);
        const QString mismatch = failed(FailureCode::TypeMismatch);
        const double inf = std::numeric_limits<double>::infinity();

        QTest::newRow("int16 unchanged") << FieldValue(std::int16_t(1151)) << "1151";
        QTest::newRow("int16 -1 keeps all bits") << FieldValue(std::int16_t(-1)) << "-1";
        QTest::newRow("int32 minimum")
            << FieldValue(std::numeric_limits<std::int32_t>::min()) << "-2147483648";
        QTest::newRow("empty is 0") << FieldValue() << "0";
        QTest::newRow("null stays null") << FieldValue::null() << "null";
        QTest::newRow("true is -1") << FieldValue(true) << "-1";
        QTest::newRow("false is 0") << FieldValue(false) << "0";
        QTest::newRow("2.5 to even 2") << FieldValue(2.5) << "2";
        QTest::newRow("3.5 to even 4") << FieldValue(3.5) << "4";
        QTest::newRow("-2.5 to even -2") << FieldValue(-2.5) << "-2";
        QTest::newRow("2.6 to nearest 3") << FieldValue(2.6) << "3";
        QTest::newRow("-0.4 to 0") << FieldValue(-0.4) << "0";
        QTest::newRow("float 1151.0") << FieldValue(1151.0f) << "1151";
        QTest::newRow("float 0.5 to 0") << FieldValue(0.5f) << "0";
        QTest::newRow("largest that rounds in range") << FieldValue(2147483647.4) << "2147483647";
        QTest::newRow("rounds past the top") << FieldValue(2147483647.5) << overflow;
        QTest::newRow("below the bottom") << FieldValue(-2147483649.0) << overflow;
        QTest::newRow("bottom half rounds in") << FieldValue(-2147483648.5) << "-2147483648";
        QTest::newRow("1e10") << FieldValue(1e10) << overflow;
        QTest::newRow("NaN") << FieldValue(std::nan("")) << overflow;
        QTest::newRow("infinity") << FieldValue(inf) << overflow;
        QTest::newRow("float infinity") << FieldValue(float(inf)) << overflow;
        QTest::newRow("text integer") << FieldValue("1151") << "1151";
        QTest::newRow("text 2.5 rounds like a number") << FieldValue("2.5") << "2";
        QTest::newRow("text out of range") << FieldValue("3000000000") << overflow;
        QTest::newRow("text not a number") << FieldValue("abc") << mismatch;
        QTest::newRow("empty text") << FieldValue("") << mismatch;
    }

    void toInt32()
    {
        QFETCH(FieldValue, value);
        QFETCH(QString, expected);
        QCOMPARE(outcome([&] {
                     const auto result = toInt32ForAnd(value);
                     return result ? QString::number(*result) : QStringLiteral("null");
                 }),
                 expected);
    }

    // A text that is no number is shown in the failure escaped, on one line, and cut short.
    void textInAFailureIsPrintableAndShort()
    {
        const Failure failure = failureOf(
            [] { (void)toInt32ForAnd(FieldValue("1\n\x1b[31m" + std::string(1 << 20, 'x'))); });
        QCOMPARE(QByteArray::fromStdString(failure.description()),
                 "Type mismatch: \"1\\n\\x1b[31m" + QByteArray(52, 'x') +
                     "\xe2\x80\xa6\" does not read as a number");
    }

    void equality_data()
    {
        QTest::addColumn<FieldValue>("value");
        QTest::addColumn<qint32>("constant");
        QTest::addColumn<QString>("expected"); // "equal", "other" or the failure

        QTest::newRow("int16 equal") << FieldValue(std::int16_t(1151)) << 1151 << "equal";
        QTest::newRow("int16 other") << FieldValue(std::int16_t(1150)) << 1151 << "other";
        QTest::newRow("int32 equal") << FieldValue(std::int32_t(1151)) << 1151 << "equal";
        QTest::newRow("double exact") << FieldValue(1151.0) << 1151 << "equal";
        QTest::newRow("double not rounded") << FieldValue(1151.4) << 1151 << "other";
        QTest::newRow("float exact") << FieldValue(1151.0f) << 1151 << "equal";
        QTest::newRow("empty equals 0") << FieldValue() << 0 << "equal";
        QTest::newRow("empty is not 1151") << FieldValue() << 1151 << "other";
        QTest::newRow("null never equal, even to 0") << FieldValue::null() << 0 << "other";
        QTest::newRow("true equals -1") << FieldValue(true) << -1 << "equal";
        QTest::newRow("false equals 0") << FieldValue(false) << 0 << "equal";
        QTest::newRow("text number") << FieldValue("1151") << 1151 << "equal";
        QTest::newRow("text with fraction") << FieldValue("1151.0") << 1151 << "equal";
        QTest::newRow("NaN never equal") << FieldValue(std::nan("")) << 0 << "other";
        QTest::newRow("text not a number")
            << FieldValue("run") << 1151 << failed(FailureCode::TypeMismatch);
    }

    void equality()
    {
        QFETCH(FieldValue, value);
        QFETCH(qint32, constant);
        QFETCH(QString, expected);
        QCOMPARE(
            outcome([&] { return QString(equalsInteger(value, constant) ? "equal" : "other"); }),
            expected);
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
