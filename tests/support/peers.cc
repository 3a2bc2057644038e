// peers.cc - test support: the kinds of node a station meets.
#include "peers.h"

namespace kt {

Peers::Peers() : device(SnmpAgent::start()), plain(SnmpAgent::start({.probe = false})) {}

}  // namespace kt
