// Decoding a 10 MB settings line that holds invalid Shift-JIS must take
// time in proportion to its length, like a valid one. Reference: the same
// line without the bad bytes, decoded by the converter in one go (the fast
// path), in the same run. Target: at most 5 times the reference.
//
//   bench_cp932_decode [megabytes] [repeats]
#include <QElapsedTimer>
#include <QStringDecoder>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/Cp932.h"

using namespace qp;

namespace {
double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

template <typename F> double timeMs(F f)
{
    QElapsedTimer t;
    t.start();
    f();
    return t.nsecsElapsed() / 1e6;
}
} // namespace

int main(int argc, char** argv)
{
    const int megabytes = argc > 1 ? std::atoi(argv[1]) : 10;
    const int repeats = argc > 2 ? std::atoi(argv[2]) : 5;
    const QByteArray unit = cp932::encode(QStringLiteral("NAME=C:\\表計算\\ソフト①ｱ.exe ")).bytes;
    QByteArray valid;
    while (valid.size() < megabytes * 1024 * 1024)
        valid += unit;
    QByteArray oneBad = valid;
    oneBad.insert(oneBad.size() / 2, '\xFF');
    QByteArray manyBad; // every unit followed by a bad byte
    for (qsizetype i = 0; i < valid.size(); i += unit.size())
        manyBad += unit + '\xFD';

    cp932::decode(oneBad); // the table is built once, outside the timing
    std::vector<double> reference, one, many;
    qsizetype check = 0;
    for (int r = 0; r < repeats; ++r) {
        reference.push_back(timeMs([&] { check += cp932::decode(valid).text.size(); }));
        one.push_back(timeMs([&] { check += cp932::decode(oneBad).text.size(); }));
        many.push_back(timeMs([&] { check += cp932::decode(manyBad).text.size(); }));
    }
    std::printf("%d MB line, median of %d (checksum %lld)\n", megabytes, repeats, static_cast<long long>(check));
    std::printf("  valid (reference):       %8.1f ms\n", median(reference));
    std::printf("  one invalid byte:        %8.1f ms  (%.1fx)\n", median(one), median(one) / median(reference));
    std::printf("  an invalid byte per %2lld:  %8.1f ms  (%.1fx)\n", static_cast<long long>(unit.size()),
                median(many), median(many) / median(reference));
    const bool met = median(one) <= 5 * median(reference) && median(many) <= 5 * median(reference);
    std::printf("target (<= 5x the reference): %s\n", met ? "met" : "NOT met");
    return met ? 0 : 1;
}
