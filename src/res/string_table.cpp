#include "res/string_table.h"

#include "res/resource_ids.h"

namespace kestrel {

QString LoadResourceString(int id) {
    switch (id) {
        case IDS_ABOUTBOX:
            return QStringLiteral("&About kestrel...");
        default:
            return {};
    }
}

}  // namespace kestrel
