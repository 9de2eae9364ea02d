#include "app/ProgressBar.h"

#include <QImage>
#include <QtTest>
#include <array>
#include <limits>

using Setting = std::array<float, 3>; // minimum, maximum, value

class tst_ProgressBar : public QObject
{
    Q_OBJECT

    static QImage drawn(ProgressBar &bar, const Setting &s)
    {
        bar.resize(337, 17);
        bar.SetMin(s[0]);
        bar.SetMax(s[1]);
        bar.SetValue(s[2]);
        // The exact bits of the three numbers: QCOMPARE on floats is fuzzy.
        const Setting kept{bar.Min(), bar.Max(), bar.Value()};
        return memcmp(&kept, &s, sizeof s) == 0 ? bar.grab().toImage() : QImage();
    }

private slots:
    // Any value is kept exactly as set, even outside the range; the bar draws
    // the filled share alone, limited to the bar: the same share of 0..100
    // draws the same bar, a quarter more or less differs.
    void keepsValuesDrawsShare()
    {
        const std::pair<Setting, double> cases[] = {
            {{50, 150, 75}, 0.25}, {{0, 100, 100.01f}, 1}, {{0, 100, -5.5f}, 0},
            {{0, 0, 0}, 1},        {{10, 10, 5}, 0},       {{0, 100, std::nanf("")}, 0}};
        for (const auto &[set, share] : cases) {
            ProgressBar bar, same, other;
            const QImage picture = drawn(bar, set);
            QCOMPARE(bar.FilledShare(), share);
            QVERIFY(!picture.isNull());
            const float percent = float(100 * share);
            QCOMPARE(picture, drawn(same, {0, 100, percent}));
            QVERIFY(picture != drawn(other, {0, 100, share < 1 ? percent + 25 : percent - 25}));
        }
    }
};

QTEST_MAIN(tst_ProgressBar)
#include "tst_ProgressBar.moc"
