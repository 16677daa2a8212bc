#include <base64_rfc2045/decoder.hpp>
