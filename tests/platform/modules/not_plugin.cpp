// A shared object in the component directory that serves no classes. It
// depends on the message module, so a lookup through its handle can see that
// module's table.
#include <cstddef>

extern "C" void test_set_message_table(const unsigned char *data, std::size_t size);

extern "C" __attribute__((visibility("default"))) void *not_a_plugin_marker() {
  return reinterpret_cast<void *>(&test_set_message_table);
}
