// Words for the client's states and socket errors, as log lines show them.
#include "client/http/Client.h"

namespace Voxlet {

namespace ClientStates {
StringBuffer ToString(int state) {
  switch (state) {
    case Disconnected:
      return u"Disconnected";
    case Connecting:
      return u"Connecting";
    case Connected:
      return u"Connected";
    default:
      return u"Unknown";
  }
}
}  // namespace ClientStates

namespace SocketExceptions {
StringBuffer ToString(int exception) {
  switch (exception) {
    case None:
      return u"None";
    case ConnectionRefused:
      return u"Connection refused";
    case ConnectionReset:
      return u"Connection closed by the service";
    case TimedOut:
      return u"Timed out";
    case HostNotFound:
      return u"Host not found";
    case ProtocolError:
      return u"Protocol error";
    case Aborted:
      return u"Aborted";
    case InvalidAddress:
      return u"Invalid address";
    case InvalidRequest:
      return u"Invalid request";
    default:
      return u"Socket error";
  }
}
}  // namespace SocketExceptions

}  // namespace Voxlet
