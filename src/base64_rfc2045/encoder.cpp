#include <base64_rfc2045/encoder.hpp>
