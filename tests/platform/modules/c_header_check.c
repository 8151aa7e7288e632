/* The seam headers must stay usable from C: compile them and use a few names. */
#include "tavelo/tavelort.h"
#include "tavelo/transport.h"

int tavelort_c_header_check(void) {
  VARIANT value;
  VariantInit(&value);
  return (int)sizeof(value) + (int)sizeof(CRITICAL_SECTION) + (int)STILL_ACTIVE +
         (int)IID_ITaveloTransport.Data2;
}
