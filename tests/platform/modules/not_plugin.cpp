// A shared object in the component directory that serves no classes. It
// depends on the message module, so a lookup through its handle can see that
// module's table.

extern "C" __attribute__((visibility("default"))) int not_a_plugin_marker() {
  return 7;
}
