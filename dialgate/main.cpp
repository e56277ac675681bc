// dialgate: the login redirect service on TCP port 10080.
#include "service.h"

int main() { return dialgate::run(); }
