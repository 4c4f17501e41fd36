#include "platform/FrontmostApplicationSource.h"

namespace ulvarend::platform {
namespace {

class KWinFrontmostSource final : public DesktopHelperSource {
public:
    std::optional<FrontmostApplication> frontmostApplication() override { return std::nullopt; }
    bool working(std::string* whyNot) override {
        *whyNot = "KWin is not supported yet";
        return false;
    }
};

} // namespace

std::shared_ptr<DesktopHelperSource> makeKWinFrontmostSource(ErrorReporter) {
    return std::make_shared<KWinFrontmostSource>();
}

} // namespace ulvarend::platform
