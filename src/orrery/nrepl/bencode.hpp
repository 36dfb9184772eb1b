// nREPL's wire encoding, shared with kelp's own server: the codec lives in the kelp library.
#pragma once

#include "kelp/nrepl/bencode.hpp"

namespace orrery::nrepl {

using kelp::nrepl::BencodeError;
using kelp::nrepl::ByteSource;
using kelp::nrepl::decode;
using kelp::nrepl::encode;
using kelp::nrepl::FdSource;
using kelp::nrepl::MAX_BYTES;
using kelp::nrepl::MAX_DEPTH;
using kelp::nrepl::read_from;
using kelp::nrepl::StringSource;

}  // namespace orrery::nrepl
