#pragma once
// The placeholder text of the drawn screen: fixed lines of word bars, whose widths are
// fractions of the text width, and the selection laid over them. A text position p means
// line floor(p) (0 = first line) at fraction p − floor(p) of the text width.

#include "guide/GestureDemo.hpp"

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

namespace ravnix {

// A horizontal extent in fractions of the text width.
struct WordSpan {
    double start = 0;
    double end = 0;
    bool operator==(const WordSpan&) const = default;
};

inline constexpr std::size_t guideTextLineCount = 14;
// Space between two words, as a fraction of the text width.
inline constexpr double guideWordGap = 0.024;

// The word widths of a line of the guide's text; empty outside 0 … 13.
std::span<const double> guideTextLine(std::size_t line) noexcept;

// The words laid out left to right with the gap between them; a line longer than the text
// width is scaled down to fit exactly.
std::vector<WordSpan> wordSpans(std::span<const double> widths);

// The word spans of a line of the guide's text, laid out once; empty outside 0 … 13.
std::span<const WordSpan> guideLineSpans(std::size_t line);

// The edges of a selection that starts or ends at fraction p of a line with these words:
// p itself for characters, the enclosing word's edge for words, the whole line for
// paragraphs. A line without words counts as one running to 1.0.
double snapSelectionStart(GuideScene::Unit unit, double p,
                          std::span<const WordSpan> words) noexcept;
double snapSelectionEnd(GuideScene::Unit unit, double p, std::span<const WordSpan> words) noexcept;

// The selected part of `line` when the text positions lo … hi are selected, snapped to
// `unit`; none when the selection does not reach into the line.
std::optional<WordSpan> selectedPart(double lo, double hi, std::size_t line,
                                     std::span<const WordSpan> words, GuideScene::Unit unit);

// The same for a line of the guide's text with the scene's selection ramps at t.
std::optional<WordSpan> selectedPart(const GuideScene& scene, double t, std::size_t line);

} // namespace ravnix
