#include "NodeTextReader.h"

namespace DataLayer::NodeTextReader {

Result Parse(std::string_view, std::vector<Node*>&) { return static_cast<Result>(0x80004001); }

}  // namespace DataLayer::NodeTextReader
