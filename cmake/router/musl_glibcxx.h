/* libstdc++'s headers in Debian's cross compilers were configured for glibc; these two names
   are all they ask of it that musl spells otherwise. */
#define __GLIBC_PREREQ(major, minor) 0
#include <locale.h>
typedef locale_t __locale_t;
