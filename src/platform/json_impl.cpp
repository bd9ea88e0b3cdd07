// Boost.JSON is used header-only; its implementation is compiled once, here, in the platform library.
#include <boost/json/src.hpp>
