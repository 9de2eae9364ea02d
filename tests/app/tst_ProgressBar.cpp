#include "app/ProgressBar.h"

#include <QImage>
#include <QtTest>
#include <array>
#include <limits>

using Setting = std::array<float, 3>; // minimum, maximum, value

class tst_ProgressBar : public QObject
{
    Q_OBJECT
private slots:
    void keepsValuesDrawsShare_data();
    void keepsValuesDrawsShare();
};

namespace
{
QImage Drawn(ProgressBar &bar, const Setting &s)
{
    bar.resize(337, 17);
    bar.SetMin(s[0]);
    bar.SetMax(s[1]);
    bar.SetValue(s[2]);
    return bar.grab().toImage();
}

// The exact bits of the three numbers: QCOMPARE on floats is fuzzy.
QByteArray Bits(const Setting &s)
{
    return QByteArray(reinterpret_cast<const char *>(s.data()), sizeof s).toHex(' ');
}
} // namespace

// Any value is kept exactly as set, even outside the range; the bar draws the
// filled share alone, limited to the bar.
void tst_ProgressBar::keepsValuesDrawsShare_data()
{
    QTest::addColumn<Setting>("set");
    QTest::addColumn<double>("share");
    QTest::newRow("minimum counts") << Setting{50, 150, 75} << 0.25;
    QTest::newRow("above the maximum is full, kept unrounded") << Setting{0, 100, 100.01f} << 1.0;
    QTest::newRow("below the minimum is empty") << Setting{0, 100, -5.5f} << 0.0;
    QTest::newRow("empty range, value at it") << Setting{0, 0, 0} << 1.0;
    QTest::newRow("empty range, value below") << Setting{10, 10, 5} << 0.0;
    QTest::newRow("not a number") << Setting{0, 100, std::numeric_limits<float>::quiet_NaN()}
                                  << 0.0;
}

void tst_ProgressBar::keepsValuesDrawsShare()
{
    QFETCH(Setting, set);
    QFETCH(double, share);
    ProgressBar bar, same, other;
    const QImage picture = Drawn(bar, set);
    QCOMPARE(bar.FilledShare(), share);
    QCOMPARE(Bits({bar.Min(), bar.Max(), bar.Value()}), Bits(set));
    // The same share of 0..100 draws the same bar; a quarter more or less differs.
    const float percent = float(100 * share);
    QCOMPARE(picture, Drawn(same, {0, 100, percent}));
    QVERIFY(picture != Drawn(other, {0, 100, share < 1 ? percent + 25 : percent - 25}));
}

QTEST_MAIN(tst_ProgressBar)
#include "tst_ProgressBar.moc"
