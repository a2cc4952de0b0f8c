// Which locales collate by bytes: the stages compare bytes instead of calling
// strcoll there, so a wrong answer would reorder or merge words.
#include "common/Collation.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <cstring>

#include "support/TestSupport.h"

namespace {

TEST(Collation, ByteOrderOnlyWhereStrcollIsStrcmp) {
  setenv("LOCPATH", quovent_test::generated_locale_dir().c_str(), 1);
  struct Case {
    const char *locale;
    bool byte_order;
  };
  for (Case c : {Case{"C", true}, Case{"POSIX", true}, Case{"C.UTF-8", true},
                 Case{"es_ES.UTF-8", false}, Case{"en_US.UTF-8", false}}) {
    ASSERT_NE(setlocale(LC_COLLATE, c.locale), nullptr) << c.locale;
    EXPECT_EQ(collation_is_byte_order(), c.byte_order) << c.locale;
    if (c.byte_order) {
      EXPECT_GT(strcoll("\xC3\xA1rbol", "zeta"), 0) << c.locale;  // á sorts after z by bytes
    }
  }
  setlocale(LC_COLLATE, "C");
  unsetenv("LOCPATH");
}

}  // namespace
