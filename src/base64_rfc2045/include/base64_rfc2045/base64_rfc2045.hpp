// SPDX-License-Identifier: MIT
// Resumable, non-blocking Base64 for MIME bodies (RFC 2045): a decoder and an
// encoder that the caller drives by repeated calls.
#pragma once

#include <base64_rfc2045/common.hpp>
#include <base64_rfc2045/decoder.hpp>
#include <base64_rfc2045/encoder.hpp>
