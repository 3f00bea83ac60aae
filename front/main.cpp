#include "front/front.h"
#include "runtime/message.h"

int main(int argc, char** argv) {
  exit_program(cifsctl_main(argc, argv));
}
