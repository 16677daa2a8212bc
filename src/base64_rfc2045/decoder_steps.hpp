// SPDX-License-Identifier: MIT
// The state machine of decoder.cpp as decode_into (bulk_decoder.cpp) runs it.
#pragma once

#include <base64_rfc2045/decoder.hpp>

namespace Base64_rfc2045::detail {

// run_decoder, except that a Channel over a std::stringbuf reads the bytes
// where the stream buffer holds them instead of copying them into the
// decoder's read buffer. The stream and the decoder are left as run_decoder
// leaves them, but for that chunk: keep_chunk must follow before the caller
// gets control.
void run_decoder_in_place(Decoder& d, Decode_result& result);

// Copies the unread bytes of a chunk read in place into the decoder's own
// read buffer; does nothing for any other chunk.
void keep_chunk(Decoder& d) noexcept;

}  // namespace Base64_rfc2045::detail
