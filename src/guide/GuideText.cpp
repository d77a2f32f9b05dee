#include "guide/GuideText.hpp"

#include <algorithm>
#include <array>
#include <cmath>

namespace ravnix {
namespace {

constexpr double line0[] = {0.18, 0.09, 0.24, 0.13, 0.2};
constexpr double line1[] = {0.12, 0.26, 0.15, 0.28};
constexpr double line2[] = {0.22, 0.14, 0.19, 0.11, 0.24};
constexpr double line3[] = {0.16, 0.3, 0.12, 0.22};
constexpr double line4[] = {0.25, 0.11, 0.27, 0.15};
constexpr double line5[] = {0.13, 0.21, 0.17, 0.26, 0.1};
constexpr double line6[] = {0.29, 0.14, 0.23, 0.18};
constexpr double line7[] = {0.11, 0.25, 0.13, 0.31};
constexpr double line8[] = {0.2, 0.18, 0.26, 0.12, 0.15};
constexpr double line9[] = {0.24, 0.13, 0.2, 0.28};
constexpr double line10[] = {0.15, 0.27, 0.11, 0.24, 0.14};
constexpr double line11[] = {0.22, 0.19, 0.3};
constexpr double line12[] = {0.17, 0.23, 0.14, 0.21, 0.16};
constexpr double line13[] = {0.28, 0.12, 0.25, 0.19};

constexpr std::array<std::span<const double>, guideTextLineCount> lines{
    line0, line1, line2, line3,  line4,  line5,  line6,
    line7, line8, line9, line10, line11, line12, line13};

double clampUnit(double v) noexcept {
    return std::clamp(v, 0.0, 1.0);
}

double lineEnd(std::span<const WordSpan> words) noexcept {
    return words.empty() ? 1.0 : words.back().end;
}

} // namespace

std::span<const double> guideTextLine(std::size_t line) noexcept {
    return line < lines.size() ? lines[line] : std::span<const double>{};
}

std::vector<WordSpan> wordSpans(std::span<const double> widths) {
    std::vector<WordSpan> spans;
    spans.reserve(widths.size());
    double x = 0;
    for (const double width : widths) {
        spans.push_back({x, x + width});
        x += width + guideWordGap;
    }
    const double total = x - guideWordGap;
    if (total > 1.0) {
        for (WordSpan& span : spans) {
            span.start /= total;
            span.end /= total;
        }
    }
    return spans;
}

std::span<const WordSpan> guideLineSpans(std::size_t line) {
    static const std::array<std::vector<WordSpan>, guideTextLineCount> laidOut = [] {
        std::array<std::vector<WordSpan>, guideTextLineCount> result;
        for (std::size_t i = 0; i < result.size(); ++i) {
            result[i] = wordSpans(lines[i]);
        }
        return result;
    }();
    return line < laidOut.size() ? std::span<const WordSpan>(laidOut[line])
                                 : std::span<const WordSpan>{};
}

double snapSelectionStart(GuideScene::Unit unit, double p,
                          std::span<const WordSpan> words) noexcept {
    switch (unit) {
    case GuideScene::Unit::character:
        return p;
    case GuideScene::Unit::word: {
        double edge = 0;
        for (const WordSpan& word : words) {
            if (word.start <= p) {
                edge = std::max(edge, word.start);
            }
        }
        return edge;
    }
    case GuideScene::Unit::paragraph:
        return 0;
    }
    return p;
}

double snapSelectionEnd(GuideScene::Unit unit, double p, std::span<const WordSpan> words) noexcept {
    switch (unit) {
    case GuideScene::Unit::character:
        return p;
    case GuideScene::Unit::word:
        for (const WordSpan& word : words) {
            if (word.end >= p) {
                return word.end;
            }
        }
        return lineEnd(words);
    case GuideScene::Unit::paragraph:
        return lineEnd(words);
    }
    return p;
}

std::optional<WordSpan> selectedPart(double lo, double hi, std::size_t line,
                                     std::span<const WordSpan> words, GuideScene::Unit unit) {
    if (!(lo < hi)) {
        return std::nullopt;
    }
    const double index = static_cast<double>(line);
    const double a = clampUnit(lo - index);
    const double b = clampUnit(hi - index);
    if (!(a < b)) {
        return std::nullopt;
    }
    const WordSpan part{snapSelectionStart(unit, a, words), snapSelectionEnd(unit, b, words)};
    if (!(part.start < part.end)) {
        return std::nullopt;
    }
    return part;
}

std::optional<WordSpan> selectedPart(const GuideScene& scene, double t, std::size_t line) {
    return selectedPart(scene.selectionStart.value(t), scene.selectionEnd.value(t), line,
                        guideLineSpans(line), scene.unit);
}

} // namespace ravnix
