// A module with a message table that the tests replace at will.
#include "test_modules.h"

#include "tavelo/tavelort.h"

namespace {
const unsigned char *table_data = nullptr;
size_t table_size = 0;
} // namespace

extern "C" {

__attribute__((visibility("default"))) const unsigned char *tavelort_message_table(size_t *size) {
  *size = table_size;
  return table_data;
}

__attribute__((visibility("default"))) void test_set_message_table(const unsigned char *data,
                                                                   size_t size) {
  table_data = data;
  table_size = size;
}
}
