#include "ui/Module1.h"

namespace Module1 {

qint16 PortNumber = 0;
QString BaudRate;

} // namespace Module1
