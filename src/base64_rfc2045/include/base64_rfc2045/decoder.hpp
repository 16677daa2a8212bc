// The resumable MIME Base64 decoder.
#pragma once

#include <base64_rfc2045/common.hpp>

namespace Base64_rfc2045 {}  // namespace Base64_rfc2045
