#include "profile/NumericValue.h"

#include <QLocale>
#include <QTest>
#include <limits>

class tst_NumericValue : public QObject
{
    Q_OBJECT

private slots:
    // Under a German default locale "1,5" is 1.5 and "1.000" is 1000; profile
    // texts must read the same whatever the user's locale, so every row runs
    // under it.
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany)); }
    void cleanupTestCase() { QLocale::setDefault(QLocale::system()); }
    void value_data();
    void value();
};

void tst_NumericValue::value_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("expected");

    const double infinity = std::numeric_limits<double>::infinity();
    QTest::newRow("leading blanks and tab, trailing text") << " \t12 files" << 12.0;
    QTest::newRow("negative fraction then text") << "  -3.5x" << -3.5;
    QTest::newRow("explicit plus, no whole part") << "+.5" << 0.5;
    QTest::newRow("no fraction digits") << "5." << 5.0;
    QTest::newRow("blanks only") << "  \t " << 0.0;
    QTest::newRow("word") << "none" << 0.0;
    QTest::newRow("sign and point, no digit") << "+." << 0.0;
    QTest::newRow("two signs") << "--1" << 0.0;
    QTest::newRow("blank after sign") << "- 1" << 0.0;
    QTest::newRow("second point stops") << "1.000.000" << 1.0;
    QTest::newRow("comma stops") << "1,5" << 1.0;
    QTest::newRow("exponent stops") << "1e5" << 1.0;
    QTest::newRow("non-ASCII digit") << QString::fromUtf8("٣") << 0.0;
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

QTEST_GUILESS_MAIN(tst_NumericValue)
#include "tst_NumericValue.moc"
