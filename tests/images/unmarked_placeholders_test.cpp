// A program built with a copy of the placeholder images that lost its PLACEHOLDER marker (made at
// configure time by tests/images/CMakeLists.txt): the images' data alone makes them placeholders,
// in the tables the program reads and in the versions header of the Windows version resource.
#include <gtest/gtest.h>

#include "images/images.h"
#include "iolink_images_unmarked_versions.h"

namespace {

TEST(UnmarkedPlaceholders, AreStillPlaceholders) {
    EXPECT_TRUE(imagesArePlaceholders);
    EXPECT_EQ(IOLINK_IMAGES_ARE_PLACEHOLDERS, 1);
}

}  // namespace
