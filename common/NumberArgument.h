/* Numbers on the command lines of the stage programs and the drivers, all read the one way
 * that atoi reads them. */
#ifndef QUOVENT_COMMON_NUMBERARGUMENT_H
#define QUOVENT_COMMON_NUMBERARGUMENT_H

#ifdef __cplusplus
extern "C" {
#endif

/* The number at the start of text: leading white space, an optional sign, decimal digits up
 * to the first other character; 0 when there are none ("2x" gives 2, "x2" gives 0). A value
 * beyond int keeps its low 32 bits, as atoi's does ("4294967298" gives 2). Digits beyond
 * long leave ERANGE in errno; nothing else changes errno. */
int number_argument(const char *text);

/* The same number for a count or an index, which must not wrap round into range: a value
 * beyond int gives -1, which none of them accepts ("4294967297" is refused, not read as 1).
 * errno as for number_argument. */
int count_argument(const char *text);

#ifdef __cplusplus
}
#endif

#endif
