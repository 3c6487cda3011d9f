/* The exported headers must compile as plain C for C hosts. */
#include "norvale_adbc.h"
#include "norvale_client.h"

int nv_c_headers_compile(void) { return ADBC_STATUS_OK; }
