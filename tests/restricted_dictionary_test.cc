// The dictionary restricted to a vocabulary: the entries the recognizer is given.
#include "platform/pocketsphinx/restricted_dictionary.h"

#include <gtest/gtest.h>

namespace quillmor_speech {
namespace {

TEST(RestrictedDictionary, KeepsTheEntriesOfTheVocabularysWordsInOrder) {
  const std::string dictionary =
      ";; a comment\n"
      "read R EH D\n"
      "reader R IY D ER\n"
      "read(2) R IY D\n"
      "\n"
      "## another comment\n"
      "(paren) P ER EH N\n"
      "go(3) G OW\n"
      "zebra Z IY B R AH\n";
  EXPECT_EQ(restrictedEntries(dictionary, {"read", "zebra", "go"}),
            "read R EH D\nread(2) R IY D\ngo(3) G OW\nzebra Z IY B R AH\n");
  EXPECT_EQ(restrictedEntries(dictionary, {"(paren)"}), "(paren) P ER EH N\n");
  EXPECT_EQ(restrictedEntries(dictionary, {}), "");
}

}  // namespace
}  // namespace quillmor_speech
