#include "job/Outcome.h"

#include "base/Wobbly.h"

std::string DescribeFailure(std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const WobblyBecause& w) {
        return std::string("failed: ") + w.what();
    } catch (const Wobbly&) {
        return "failed";
    } catch (const std::exception& e) {
        std::string text = e.what();
        try {
            std::rethrow_if_nested(e);
        } catch (...) {
            text += ": " + DescribeFailure(std::current_exception());
        }
        return text;
    } catch (...) {
        return "failed";
    }
}
