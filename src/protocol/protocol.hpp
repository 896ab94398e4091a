// The parts of zelk.protocol, one file each; module.cpp binds them in the module's order.
#pragma once

#include "core/zk.hpp"

namespace protocol {

// udump and uload: dill's when SERIALIZER asks for it and dill imports, else pickle's.
void select_serializer(zk::Module& m);

// class BytePacker, then dump and load.
void define_byte_packer(zk::Module& m);

}  // namespace protocol
