// Colour every panel's cores by the chosen mode and show that mode's key.
const mode = modes[cb_obj.active];
for (const cores of sources) {
  cores.data = {...cores.data, colour: cores.data[`colour_${mode}`]};
}
for (const [m, list] of Object.entries(bars)) {
  for (const bar of list) {
    bar.visible = m === mode;
  }
}
key.visible = mode === "layer";
