#include "glintegration.h"

#include <QByteArray>
#include <QtGlobal>

void turnOffGlIntegration()
{
    if (!qEnvironmentVariableIsSet("QT_XCB_GL_INTEGRATION"))
        qputenv("QT_XCB_GL_INTEGRATION", "none");
}
