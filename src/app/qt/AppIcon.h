#pragma once

#include <QIcon>

namespace quorvel {

// The window's icon, painted in code so that no image plugin is needed at run time. It is the
// same drawing as the installed quorvel.svg.
QIcon appIcon();

}  // namespace quorvel
