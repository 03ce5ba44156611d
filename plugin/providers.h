#pragma once
// The plug-in's device factories.

#include "host/provider.h"

class PsmaProvider : public KorvSPDeviceProvider {
 public:
  ~PsmaProvider() override;
  KorvSPDevice* create() const override;
};

class PsmaACProvider : public KorvSPDeviceProvider {
 public:
  ~PsmaACProvider() override;
  KorvSPDevice* create() const override;
};

class PsmaDCProvider : public KorvSPDeviceProvider {
 public:
  ~PsmaDCProvider() override;
  KorvSPDevice* create() const override;
};

class PsmaRCProvider : public KorvSPDeviceProvider {
 public:
  ~PsmaRCProvider() override;
  KorvSPDevice* create() const override;
};
