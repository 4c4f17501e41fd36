#include "Implementations/AlertHandler.h"

#include <chrono>
#include <cmath>

namespace ulvarend {

using namespace std::chrono_literals;
using platform::Alert;
using platform::AlertStyle;

AlertHandler::AlertHandler(std::shared_ptr<DateTimeHandlerProtocol> dateTimeHandler_,
                           std::shared_ptr<platform::AlertPresenter> presenter_)
    : dateTimeHandler(std::move(dateTimeHandler_)), presenter(std::move(presenter_)) {}

bool AlertHandler::showCurrentUserAlert(const std::string& user) {
    const auto now = dateTimeHandler->now();
    if (lastAlertTimeStamp) {
        const double elapsed = std::trunc(
            std::chrono::duration<double, std::milli>(now - *lastAlertTimeStamp).count());
        // A clock set back by more than a moment would otherwise silence the question until it
        // caught up again; such a jump counts as a long time since the last question.
        const bool clockSetBack = elapsed < 0.0;
        if (!clockSetBack && elapsed < 5000.0) {
            return false;
        }
    }
    const auto chosen = presenter->runModal(Alert{"Er du " + user + "?",
                                                  "Hvis ikke, så skift nuværende bruger.",
                                                  AlertStyle::informational,
                                                  {"Ja, det er mig", "Nej, skift bruger"},
                                                  5000ms});
    lastAlertTimeStamp = dateTimeHandler->now();
    return chosen == 1u;
}

void AlertHandler::showTrackingPeriodEndedAlert() {
    presenter->runModal(Alert{"Tracking perioden er afsluttet",
                              "Tak for din deltagelse.",
                              AlertStyle::informational,
                              {"Ok"},
                              5000ms});
}

void AlertHandler::showSetupMissingAlert() {
    presenter->runModal(Alert{"Klar til opsætning",
                              "Ulvarend er installeret, men mangler at blive sat op via. linket, "
                              "som du har modtaget på e-mail.",
                              AlertStyle::warning,
                              {"Ok"},
                              15000ms});
}

void AlertHandler::showAgentUnreachableAlert() {
    presenter->runModal(Alert{"Ulvarend svarer ikke",
                              "Ulvarend kører allerede, men kunne ikke nås. Log ud og ind igen, "
                              "og prøv så igen. Hvis det ikke virker, så kontakt Ostrel.",
                              AlertStyle::critical,
                              {"Ok"},
                              60000ms});
}

} // namespace ulvarend
