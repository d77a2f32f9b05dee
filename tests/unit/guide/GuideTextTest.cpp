#include "guide/GuideText.hpp"

#include "guide/GuideCatalog.hpp"
#include "guide/GuideFrame.hpp"

#include <gtest/gtest.h>

namespace ravnix {
namespace {

void expectPart(const std::optional<WordSpan>& part, double start, double end) {
    ASSERT_TRUE(part.has_value());
    EXPECT_NEAR(part->start, start, 1e-12);
    EXPECT_NEAR(part->end, end, 1e-12);
}

TEST(WordSpans, LongLinesAreScaledToFit) {
    for (std::size_t line = 0; line < guideTextLineCount; ++line) {
        EXPECT_LE(guideLineSpans(line).back().end, 1.0 + 1e-12) << line;
    }
    // Line 8 is 1.006 wide with its gaps: it ends exactly at the edge.
    EXPECT_NEAR(guideLineSpans(8).back().end, 1.0, 1e-12);
    EXPECT_TRUE(guideLineSpans(guideTextLineCount).empty());
}

TEST(SelectedPart, SnapsToTheUnitOnEveryLine) {
    // Double tap: exactly the second word of line 1, nothing elsewhere.
    const GuideScene& word = gestureDemo("cift-tik").scene;
    expectPart(selectedPart(word, 1.42, 1), 0.144, 0.404);
    EXPECT_FALSE(selectedPart(word, 1.42, 0));
    EXPECT_FALSE(selectedPart(word, 1.42, 2));
    EXPECT_FALSE(selectedPart(word, 1.0, 1)); // nothing selected before the second tap

    // Triple tap: lines 1 to 3 completely, line 4 (where the selection ends) not at all.
    const GuideScene& paragraph = gestureDemo("uc-tik").scene;
    for (const double t : {1.84, 4.2}) {
        EXPECT_FALSE(selectedPart(paragraph, t, 0));
        for (std::size_t line = 1; line <= 3; ++line) {
            expectPart(selectedPart(paragraph, t, line), 0, guideLineSpans(line).back().end);
        }
        EXPECT_FALSE(selectedPart(paragraph, t, 4)) << t;
    }

    // Characters: from 0.35 of line 0 to its end, then line 1 up to 0.75.
    const GuideScene& character = gestureDemo("harf-secim").scene;
    expectPart(selectedPart(character, 3.7, 0), 0.35, 1.0);
    expectPart(selectedPart(character, 3.7, 1), 0, 0.75);

    // Words past the last word and on a line without words.
    const auto words = guideLineSpans(1);
    EXPECT_NEAR(snapSelectionEnd(GuideScene::Unit::word, 0.95, words), 0.882, 1e-12);
    EXPECT_EQ(snapSelectionEnd(GuideScene::Unit::word, 0.5, {}), 1.0);
}

TEST(PointerPosition, ScriptedOrRidingOnASelectionEdge) {
    const ScreenArea area{400, 300, 14, 15}; // text 372 wide
    const auto expectAt = [](ScreenPoint p, double x, double y) {
        EXPECT_NEAR(p.x, x, 1e-9);
        EXPECT_NEAR(p.y, y, 1e-9);
    };
    expectAt(pointerPosition(gestureDemo("sol-tik").scene, 1, area), 136, 108);
    // The start edge 1.3: line 1, at 0.3 of the text width, in the line's middle.
    expectAt(pointerPosition(gestureDemo("cift-tik").scene, 1.42, area), 14 + 0.3 * 372, 36.5);
    // The end edge 1.75 when the drag ends.
    expectAt(pointerPosition(gestureDemo("harf-secim").scene, 3.7, area), 14 + 0.75 * 372, 36.5);

    GuideScene scrolled; // by two lines: the edge on line 3 is on the second visible line
    scrolled.pointer = GuideScene::PointerAnchor::selectionStart;
    scrolled.scroll = Ramp::constant(2);
    scrolled.selectionStart = Ramp::constant(3.5);
    expectAt(pointerPosition(scrolled, 0, area), 14 + 0.5 * 372, 36.5);
}

} // namespace
} // namespace ravnix
