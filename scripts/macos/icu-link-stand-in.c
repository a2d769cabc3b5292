/*
 * Link-only stand-ins for the ICU functions the helper calls, for the macOS cross build.
 *
 * The cross toolchain carries macOS's C library and libc++ but no ICU, so the macOS link
 * takes its ICU symbols from here. Every definition is checked by the compiler against ICU's
 * own declaration (the headers are included), and each one aborts: the executables this
 * links are only inspected, never run. A real Mac build links Homebrew's icu4c instead.
 */
#include <stdlib.h>
#include <unicode/uchar.h>
#include <unicode/unorm2.h>
#include <unicode/uregex.h>
#include <unicode/ustring.h>
#include <unicode/utf8.h>
#include <unicode/utypes.h>

#define NEVER_RUN abort()

int8_t u_charType(UChar32 c) { (void)c; NEVER_RUN; }
UBool u_isUWhiteSpace(UChar32 c) { (void)c; NEVER_RUN; }
const char* u_errorName(UErrorCode code) { (void)code; NEVER_RUN; }

UChar* u_strFromUTF8WithSub(UChar* dest, int32_t destCapacity, int32_t* pDestLength, const char* src,
                            int32_t srcLength, UChar32 subchar, int32_t* pNumSubstitutions,
                            UErrorCode* pErrorCode) {
  (void)dest, (void)destCapacity, (void)pDestLength, (void)src, (void)srcLength, (void)subchar,
      (void)pNumSubstitutions, (void)pErrorCode;
  NEVER_RUN;
}

char* u_strToUTF8(char* dest, int32_t destCapacity, int32_t* pDestLength, const UChar* src, int32_t srcLength,
                  UErrorCode* pErrorCode) {
  (void)dest, (void)destCapacity, (void)pDestLength, (void)src, (void)srcLength, (void)pErrorCode;
  NEVER_RUN;
}

int32_t u_strToLower(UChar* dest, int32_t destCapacity, const UChar* src, int32_t srcLength, const char* locale,
                     UErrorCode* pErrorCode) {
  (void)dest, (void)destCapacity, (void)src, (void)srcLength, (void)locale, (void)pErrorCode;
  NEVER_RUN;
}

const UNormalizer2* unorm2_getNFCInstance(UErrorCode* pErrorCode) { (void)pErrorCode; NEVER_RUN; }

int32_t unorm2_normalize(const UNormalizer2* norm2, const UChar* src, int32_t length, UChar* dest, int32_t capacity,
                         UErrorCode* pErrorCode) {
  (void)norm2, (void)src, (void)length, (void)dest, (void)capacity, (void)pErrorCode;
  NEVER_RUN;
}

URegularExpression* uregex_open(const UChar* pattern, int32_t patternLength, uint32_t flags, UParseError* pe,
                                UErrorCode* status) {
  (void)pattern, (void)patternLength, (void)flags, (void)pe, (void)status;
  NEVER_RUN;
}

void uregex_setText(URegularExpression* regexp, const UChar* text, int32_t textLength, UErrorCode* status) {
  (void)regexp, (void)text, (void)textLength, (void)status;
  NEVER_RUN;
}

int32_t uregex_replaceAll(URegularExpression* regexp, const UChar* replacementText, int32_t replacementLength,
                          UChar* destBuf, int32_t destCapacity, UErrorCode* status) {
  (void)regexp, (void)replacementText, (void)replacementLength, (void)destBuf, (void)destCapacity, (void)status;
  NEVER_RUN;
}

void uregex_close(URegularExpression* regexp) { (void)regexp; NEVER_RUN; }

/* Behind ICU's U8_PREV macro. */
UChar32 utf8_prevCharSafeBody(const uint8_t* s, int32_t start, int32_t* pi, UChar32 c, UBool strict) {
  (void)s, (void)start, (void)pi, (void)c, (void)strict;
  NEVER_RUN;
}
