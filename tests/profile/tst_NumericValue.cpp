#include "profile/NumericValue.h"

#include <QLocale>
#include <QTest>
#include <limits>

class tst_NumericValue : public QObject
{
    Q_OBJECT

private slots:
    // Under a German locale "1,5" would be 1.5 and "1.000" 1000; profile
    // texts must read the same whatever the user's locale.
    void value()
    {
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        const double infinity = std::numeric_limits<double>::infinity();
        const std::pair<QString, double> cases[] = {
            {" \t12 files", 12},
            {"  -3.5x", -3.5},
            {"+.5", 0.5},
            {"5.", 5},
            {"  \t ", 0},
            {"+.", 0},
            {"--1", 0},
            {"- 1", 0},
            {"1.000.000", 1},
            {"1,5", 1},
            {"1e5", 1},
            {QString::fromUtf8("٣"), 0},
            {QString(400, u'9'), infinity},
            {"-" + QString(400, u'9'), -infinity},
            {"0." + QString(400, u'0') + "1", 0},
            {"2." + QString(4000, u'5'), 2.5555555555555554}};
        for (const auto &[text, expected] : cases)
            QVERIFY2(NumericValue(text) == expected, qPrintable(text.left(20)));
        QLocale::setDefault(QLocale::system());
    }
};

QTEST_GUILESS_MAIN(tst_NumericValue)
#include "tst_NumericValue.moc"
