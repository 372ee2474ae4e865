#pragma once

namespace quorvel::platform {}
