/* The module headers compile as C and their functions link under the
 * system's own names. */
#include <string.h>

#include "common/Errors.h"
#include "map/Map.h"

int main(void) {
  if (utf8_char_len(0xC3) != 2) return 1;
  int len = 0;
  if (!is_utf8_letter((const unsigned char *)"a", &len) || len != 1) return 1;
  char word[MAX_WORD_BYTES + 1] = "ABC";
  normalize_utf8(word);
  if (strcmp(word, "abc") != 0) return 1;
  strcpy(Msg, "linked from C\n");
  print(Msg);
  return 0;
}
