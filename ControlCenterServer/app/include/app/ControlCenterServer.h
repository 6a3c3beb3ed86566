// The plain console component (the server's class 0): an object with only
// IQRBConsoleComponent, through which a client can hold the server.
#pragma once

#include "Win32/QRBConsoleComponent.h"

class ControlCenterServer : public QRBConsoleComponent {
 public:
  // The creator entered in the server class table.
  static HRESULT Create(IUnknown* outerUnknown, QRBConsoleComponent** ppNewComponent);

  using QRBConsoleComponent::QRBConsoleComponent;
};
