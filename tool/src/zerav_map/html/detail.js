// The clicked core's detail in the shared table: the run, then one row per (label, column).
const i = cores.selected.indices[0];
if (i !== undefined) {
  const field = ["run"];
  const value = [run];
  for (const [label, column] of rows) {
    field.push(label);
    value.push(String(cores.data[column][i]));
  }
  detail.data = {field, value};
}
