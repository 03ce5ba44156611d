#include "plugin/providers.h"

#include "root/psma.h"

PsmaProvider::~PsmaProvider() = default;
KorvSPDevice* PsmaProvider::create() const { return new Psma(); }

PsmaACProvider::~PsmaACProvider() = default;
KorvSPDevice* PsmaACProvider::create() const { return new PsmaAC(); }

PsmaDCProvider::~PsmaDCProvider() = default;
KorvSPDevice* PsmaDCProvider::create() const { return new PsmaDC(); }

PsmaRCProvider::~PsmaRCProvider() = default;
KorvSPDevice* PsmaRCProvider::create() const { return new PsmaRC(); }
