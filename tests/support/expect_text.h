// SPDX-License-Identifier: Apache-2.0
// EXPECT_HAS(text, part) and EXPECT_LACKS(text, part): whether a text (output, a log, a file)
// holds a part; a failure prints the part and the whole text.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

inline ::testing::AssertionResult textHolds(bool wanted, const char* textExpr, const char*,
                                            std::string_view text, std::string_view part) {
    if ((text.find(part) != std::string_view::npos) == wanted) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << textExpr << (wanted ? " lacks \"" : " holds \"") << part << "\":\n"
           << text;
}
inline ::testing::AssertionResult textHas(const char* t, const char* p, std::string_view text,
                                          std::string_view part) {
    return textHolds(true, t, p, text, part);
}
inline ::testing::AssertionResult textLacks(const char* t, const char* p, std::string_view text,
                                            std::string_view part) {
    return textHolds(false, t, p, text, part);
}

#define EXPECT_HAS(text, part) EXPECT_PRED_FORMAT2(textHas, text, part)
#define EXPECT_LACKS(text, part) EXPECT_PRED_FORMAT2(textLacks, text, part)
#define ASSERT_HAS(text, part) ASSERT_PRED_FORMAT2(textHas, text, part)
