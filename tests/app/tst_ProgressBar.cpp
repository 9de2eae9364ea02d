#include "app/ProgressBar.h"

#include <QImage>
#include <QtTest>
#include <bit>

// Exact float identity, bit for bit: QCOMPARE on floats is fuzzy.
#define COMPARE_FLOAT_BITS(actual, expected)                                                       \
    QCOMPARE(std::bit_cast<quint32>(float(actual)), std::bit_cast<quint32>(float(expected)))

class tst_ProgressBar : public QObject
{
    Q_OBJECT
private slots:
    void designValues();
    void readsBackExactly_data();
    void readsBackExactly();
    void filledShare_data();
    void filledShare();
    void drawsShareNotNumbers_data();
    void drawsShareNotNumbers();
};

namespace
{
QImage Rendered(float min, float max, float value)
{
    ProgressBar bar;
    bar.resize(337, 17);
    bar.SetMin(min);
    bar.SetMax(max);
    bar.SetValue(value);
    return bar.grab().toImage();
}
} // namespace

void tst_ProgressBar::designValues()
{
    ProgressBar bar;
    COMPARE_FLOAT_BITS(bar.Min(), 0.0f);
    COMPARE_FLOAT_BITS(bar.Max(), 100.0f);
    COMPARE_FLOAT_BITS(bar.Value(), 0.0f);
}

void tst_ProgressBar::readsBackExactly_data()
{
    QTest::addColumn<double>("set");
    // The float nearest to the double, computed here by the compiler's
    // conversion, never by the bar.
    QTest::newRow("100.01") << 100.01;
    QTest::newRow("above 2^24 rounds to even") << 16777217.0;
    QTest::newRow("largest int32") << 2147483647.0;
    QTest::newRow("negative") << -5.5;
    QTest::newRow("smallest subnormal") << double(std::numeric_limits<float>::denorm_min());
}

void tst_ProgressBar::readsBackExactly()
{
    QFETCH(double, set);
    const float expected = static_cast<float>(set);
    ProgressBar bar;
    bar.SetMax(expected);
    bar.SetValue(expected);
    bar.SetMin(expected);
    COMPARE_FLOAT_BITS(bar.Max(), expected);
    COMPARE_FLOAT_BITS(bar.Value(), expected);
    COMPARE_FLOAT_BITS(bar.Min(), expected);
}

void tst_ProgressBar::filledShare_data()
{
    QTest::addColumn<float>("min");
    QTest::addColumn<float>("max");
    QTest::addColumn<float>("value");
    QTest::addColumn<double>("share");
    QTest::newRow("a quarter") << 0.0f << 2048.0f << 512.0f << 0.25;
    QTest::newRow("empty") << 0.0f << 100.0f << 0.0f << 0.0;
    QTest::newRow("full") << 0.0f << 100.0f << 100.0f << 1.0;
    QTest::newRow("above the maximum is full") << 0.0f << 100.0f << 100.01f << 1.0;
    QTest::newRow("below the minimum is empty") << 0.0f << 100.0f << -3.0f << 0.0;
    QTest::newRow("minimum counts") << 50.0f << 150.0f << 75.0f << 0.25;
    QTest::newRow("empty range, value at it") << 0.0f << 0.0f << 0.0f << 1.0;
    QTest::newRow("empty range, value below") << 10.0f << 10.0f << 5.0f << 0.0;
    QTest::newRow("not a number") << 0.0f << 100.0f << std::numeric_limits<float>::quiet_NaN()
                                  << 0.0;
}

void tst_ProgressBar::filledShare()
{
    QFETCH(float, min);
    QFETCH(float, max);
    QFETCH(float, value);
    QFETCH(double, share);
    ProgressBar bar;
    bar.SetMin(min);
    bar.SetMax(max);
    bar.SetValue(value);
    QCOMPARE(bar.FilledShare(), share);
}

// The picture depends on the share alone: equal shares draw equal bars, an
// above-maximum value draws the full bar, and different shares differ.
void tst_ProgressBar::drawsShareNotNumbers_data()
{
    QTest::addColumn<QVector<float>>("a");
    QTest::addColumn<QVector<float>>("b");
    QTest::addColumn<bool>("same");
    QTest::newRow("512 of 2048 is 25 of 100")
        << QVector<float>{0, 2048, 512} << QVector<float>{0, 100, 25} << true;
    QTest::newRow("above the maximum draws full")
        << QVector<float>{0, 100, 100.01f} << QVector<float>{0, 100, 100} << true;
    QTest::newRow("quarter differs from half")
        << QVector<float>{0, 100, 25} << QVector<float>{0, 100, 50} << false;
    QTest::newRow("empty differs from full")
        << QVector<float>{0, 100, 0} << QVector<float>{0, 100, 100} << false;
}

void tst_ProgressBar::drawsShareNotNumbers()
{
    QFETCH(QVector<float>, a);
    QFETCH(QVector<float>, b);
    QFETCH(bool, same);
    const QImage first = Rendered(a[0], a[1], a[2]);
    const QImage second = Rendered(b[0], b[1], b[2]);
    QCOMPARE(first == second, same);
}

QTEST_MAIN(tst_ProgressBar)
#include "tst_ProgressBar.moc"
