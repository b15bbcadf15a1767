// The data-bias record: the seven metrics of the pre-training counts, one slot per row
// of the data-bias table, compared by the runtime checks and the monitor.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/common/check_report.hpp"
#include "core/common/errors.hpp"
#include "core/common/metric_record.hpp"
#include "core/data_bias/pre_training.hpp"

namespace morvane {

using DataBiasRecord = MetricRecord<tables::DATA_BIAS>;

// The metrics of the counts; a facet without elements is a DataLengthError.
Result<DataBiasRecord, BiasError> data_bias_metrics(const PreTraining& p);

// A stored dict keyed by metric name: the metric map, or the keys that name no metric.
Result<MetricMap<DataBiasMetric>, std::vector<std::string>> convert_db_analysis(const MetricValues& map);

// Every metric checked; the baseline map is read first (all seven metrics required).
// Absent threshold: DEFAULT_THRESHOLD.
Result<DriftReport<DataBiasMetric>, DataBiasRuntimeError> data_bias_runtime_check(
    const MetricMap<DataBiasMetric>& baseline, const MetricMap<DataBiasMetric>& latest, std::optional<float> threshold);

}  // namespace morvane
