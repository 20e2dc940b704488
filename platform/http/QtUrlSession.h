#pragma once
// URL sessions over Qt Network: one QNetworkAccessManager per session, so no connection or
// TLS state is shared between sessions; caches are bypassed and redirects never followed; the
// deadline, a reply over the size limit and every failure without an HTTP response end as a
// UrlError. The body is gathered as it arrives, never more than the limit and one piece.
// Completions run on the Qt main thread.

#include "platform/http/UrlSession.h"

namespace velmo {

class QtUrlSessionFactory final : public UrlSessionFactory {
public:
    std::shared_ptr<UrlSession> makeSession(const UrlSessionConfiguration& configuration) override;
};

}  // namespace velmo
