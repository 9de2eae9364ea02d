#include "profile/NumericValue.h"

#include <QLocale>
#include <QTest>
#include <cmath>
#include <limits>

class tst_NumericValue : public QObject
{
    Q_OBJECT

private slots:
    void value_data();
    void value();
    void ignoresTheLocale();
};

void tst_NumericValue::value_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("expected");

    const double infinity = std::numeric_limits<double>::infinity();
    QTest::newRow("whole") << "3" << 3.0;
    QTest::newRow("leading blanks, trailing text") << " 12 files" << 12.0;
    QTest::newRow("leading tab") << "\t7" << 7.0;
    QTest::newRow("fraction") << "0.4" << 0.4;
    QTest::newRow("empty") << "" << 0.0;
    QTest::newRow("blanks only") << "  \t " << 0.0;
    QTest::newRow("word") << "none" << 0.0;
    QTest::newRow("negative") << "-2" << -2.0;
    QTest::newRow("explicit plus") << "+3" << 3.0;
    QTest::newRow("point only") << "." << 0.0;
    QTest::newRow("sign only") << "-" << 0.0;
    QTest::newRow("sign and point") << "+." << 0.0;
    QTest::newRow("no whole part") << "+.5" << 0.5;
    QTest::newRow("no fraction digits") << "5." << 5.0;
    QTest::newRow("second point stops") << "1.2.3" << 1.2;
    QTest::newRow("negative fraction then text") << "  -3.5x" << -3.5;
    QTest::newRow("leading zeros") << "0012" << 12.0;
    QTest::newRow("comma stops") << "1,5" << 1.0;
    QTest::newRow("exponent stops") << "1e5" << 1.0;
    QTest::newRow("two signs") << "--1" << 0.0;
    QTest::newRow("blank after sign") << "- 1" << 0.0;
    QTest::newRow("text first") << "x12" << 0.0;
    QTest::newRow("non-ASCII digit") << QString::fromUtf8("٣") << 0.0;
    QTest::newRow("full-width digit") << QString::fromUtf8("３") << 0.0;
    QTest::newRow("beyond a double") << QString(400, u'9') << infinity;
    QTest::newRow("beyond a double, negative") << "-" + QString(400, u'9') << -infinity;
    QTest::newRow("below a double") << "0." + QString(400, u'0') + "1" << 0.0;
    QTest::newRow("long fraction") << "2." + QString(4000, u'5') << 2.5555555555555554;
}

void tst_NumericValue::value()
{
    QFETCH(QString, text);
    QFETCH(double, expected);
    QCOMPARE(NumericValue(text), expected);
}

void tst_NumericValue::ignoresTheLocale()
{
    const QLocale before;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    const auto restore = qScopeGuard([&] { QLocale::setDefault(before); });
    QCOMPARE(NumericValue("0.5"), 0.5);
    QCOMPARE(NumericValue("1,5"), 1.0);
    QVERIFY(std::isfinite(NumericValue("1.000.000")));
    QCOMPARE(NumericValue("1.000.000"), 1.0);
}

QTEST_GUILESS_MAIN(tst_NumericValue)
#include "tst_NumericValue.moc"
