/* The QOI reference codec's implementation (Debian's libqoi-dev ships it as one header). */
#define QOI_IMPLEMENTATION
#include <qoi.h>
