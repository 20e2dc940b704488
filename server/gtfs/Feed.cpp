#include "server/gtfs/Feed.h"

#include <algorithm>

namespace velmo::gtfs {

void ServiceCalendar::resize(std::size_t services) { services_.resize(services); }

void ServiceCalendar::set(ServiceIdx service, date::sys_days day, bool active) {
    Days& d = services_[service.get()];
    if (d.on.empty()) {
        if (!active) {
            return;
        }
        d.first = day;
    }
    if (day < d.first) {
        if (!active) {
            return;
        }
        const auto grow = static_cast<std::size_t>((d.first - day).count());
        d.on.insert(d.on.begin(), grow, false);
        d.first = day;
    }
    const auto offset = static_cast<std::size_t>((day - d.first).count());
    if (offset >= d.on.size()) {
        if (!active) {
            return;
        }
        d.on.resize(offset + 1, false);
    }
    d.on[offset] = active;
}

bool ServiceCalendar::active(ServiceIdx service, date::sys_days day) const {
    if (!service.valid() || service.get() >= services_.size()) {
        return false;
    }
    const Days& d = services_[service.get()];
    if (d.on.empty() || day < d.first) {
        return false;
    }
    const auto offset = static_cast<std::size_t>((day - d.first).count());
    return offset < d.on.size() && d.on[offset];
}

bool ServiceCalendar::anyActive() const {
    return std::any_of(services_.begin(), services_.end(),
                       [](const Days& d) { return std::find(d.on.begin(), d.on.end(), true) != d.on.end(); });
}

bool ServiceCalendar::runs(ServiceIdx service) const {
    if (!service.valid() || service.get() >= services_.size()) {
        return false;
    }
    const auto& on = services_[service.get()].on;
    return std::find(on.begin(), on.end(), true) != on.end();
}

void ServiceCalendar::append(const ServiceCalendar& other) {
    services_.insert(services_.end(), other.services_.begin(), other.services_.end());
}

date::sys_days ServiceCalendar::firstDay() const {
    date::sys_days best = date::sys_days::max();
    for (const Days& d : services_) {
        const auto it = std::find(d.on.begin(), d.on.end(), true);
        if (it != d.on.end()) {
            best = std::min(best, d.first + date::days(it - d.on.begin()));
        }
    }
    return best;
}

date::sys_days ServiceCalendar::lastDay() const {
    date::sys_days best = date::sys_days::min();
    for (const Days& d : services_) {
        const auto it = std::find(d.on.rbegin(), d.on.rend(), true);
        if (it != d.on.rend()) {
            best = std::max(best, d.first + date::days(d.on.rend() - it - 1));
        }
    }
    return best;
}

}  // namespace velmo::gtfs
