#pragma once

#include <stdexcept>

// A failure that abandons the update run. Raised wherever the run cannot go
// on (a folder that cannot be made, a greeting that cannot be fetched, ...)
// and caught only by the run's one failure handler.
class UpdateFailure : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};
