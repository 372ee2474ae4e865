#pragma once

#include <stdexcept>
#include <string>

namespace quorvel {

// An error that no step traps: it ends the job where it is, and the front end reports its
// description and ends the program.
class QuorvelError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

}  // namespace quorvel
