#pragma once

#include <QString>

namespace app::test {

// A file or folder under the test fixtures; every test program's main sets TESS_FIXTURES.
inline QString fixturePath(const QString& relative)
{
    return qEnvironmentVariable("TESS_FIXTURES") + u'/' + relative;
}

} // namespace app::test
