// The clicked core's detail in the table beside its mesh: one row per (label, column).
const i = cores.selected.indices[0];
const field = [];
const value = [];
if (i !== undefined) {
  for (const [label, column] of rows) {
    field.push(label);
    value.push(String(cores.data[column][i]));
  }
}
detail.data = {field, value};
