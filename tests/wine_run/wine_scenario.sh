# Sourced by the Wine tests: write_scenario writes scenario.json in the current directory, the
# plant that merix_wine_host expects: 9600 8E1; station 1 with registers, coils and four event
# gates; station 2 with an input register; an event a second for three minutes, event i%4 going
# to 1 on its odd and to 0 on its even occurrences, so that each one is a change.
write_scenario() {
    local events="" i
    for ((i = 0; i < 180; i++)); do
        events+="${events:+,}{\"at_ms\": $(((i + 1) * 1000)), \"event\": $((i % 4)),"
        events+=" \"value\": $(((i / 4 + 1) % 2))}"
    done
    cat >scenario.json <<EOF
{
  "line": {"baud": 9600, "data_bits": 8, "parity": "even", "stop_bits": 1},
  "stations": [
    {"address": 1, "event_gates": 4,
     "values": {
       "holding_registers": [{"address": 100, "values": [4660]},
                             {"address": 1000, "values": [11, 22, 33, 44, 55, 66, 77, 88, 99, 110]}],
       "coils": [{"address": 7, "values": [1]}]
     },
     "events": [$events]},
    {"address": 2, "values": {"input_registers": [{"address": 5, "values": [77]}]}}
  ]
}
EOF
}
