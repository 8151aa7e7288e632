// tavelo-mkstore DIR: makes a demo store for the virtual camera.
#include "tavelo/emulator/demo_store.h"
#include "tavelo/emulator/engine.h"

#include <iostream>

int main(int argc, char **argv) {
  if (argc != 2) {
    std::cerr << "usage: tavelo-mkstore DIR\n"
                 "Makes a virtual camera store in DIR (missing or empty): photos in two albums,\n"
                 "a group, a sound annotation and two scripts. Use it with\n"
                 "TAVELO_VIRTUAL_CAMERAS=DIR.\n";
    return 2;
  }
  try {
    tavelo::emu::make_demo_store(argv[1]);
  } catch (const std::exception &e) {
    std::cerr << "tavelo-mkstore: " << e.what() << "\n";
    return 1;
  }
  std::cout << "virtual camera store made in " << argv[1] << "\n";
  return 0;
}
